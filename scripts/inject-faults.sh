#!/usr/bin/env bash
# Fault injection: qor promises that a run that does not succeed leaves every file as it was.
# For each scenario below, a clean run under strace lists the system calls qor makes on the
# scenario's files; then each of those calls is made to fail, one call and occurrence per run
# (`strace -e inject=CALL:error=ERRNO:when=N`), and after every run the files are checked.
# Long runs are also killed with SIGKILL at several moments, and the scenarios of KILL_CALLS
# (write-throughs, replaced files, the split) at every one of their calls.
# Then an adversary's turn: a run paused (SIGSTOP) between its checks and its commit while a
# name, a folder or a source is changed under it; two write-throughs into one file at once;
# results named like a source; /W on pipes; non-blocking pipes; file-size and thread limits.
#
#   scripts/inject-faults.sh [QOR_BINARY] [--quick] [--no-kill] [--named-temporaries] [--only NAMES]
#
# QOR_BINARY defaults to build/qor; qor-makewave is taken from beside it. Nothing is built here.
# --quick tries fewer occurrences and kill moments; --no-kill leaves the kill runs out; --only
# runs only the scenarios named (comma-separated; `race` for the two runs at once).
# --named-temporaries is for a build without unnamed files (the portable build), whose results
# are written under a private name beside the destination: a SIGKILL, which no handler sees,
# may leave that one file, `.DEST.qor-PID-N`; after a kill it is allowed, and removed; and it
# cannot see another program writing a destination (a Linux lease), so those rows are left out. In a
# build with unnamed files such a file may be left only by a kill in the instant between
# naming a complete result and renaming it (never at a sync or a write).
# A write-through (a destination with other hard links) first copies the old bytes to a backup
# beside it, `.DEST.qor-backup-PID` (mode 0600); after a kill the destination may be damaged
# only where that backup holds exactly its old bytes; after a failure the old bytes must be
# back and the backup gone, whether or not the complete result was kept elsewhere.
# Prints one line per run that broke the promise, then "N faults injected, M broke the
# invariant"; exits 0 only when M is 0.
#
# strace counts the calls of each thread apart, so `when=N` fails the N-th such call of every
# thread: the occurrences tried are the per-thread numbers of the calls that touch the
# scenario's files (its folder, or its TMPDIR), never those of the dynamic loader, the locale
# or the log. A SIGKILL injected at a call ends the run before that call is made; a SIGSTOP
# stops it just after.
#
# Run as root, the scenarios that name a device (/dev/stdin) or need a thread limit run as the
# user nobody, so that no build under test can make a file under /dev.
set -uo pipefail

# ---- Scenarios -------------------------------------------------------------------------------
# name | files made first | qor's arguments | destinations
#
# Files: `wave NAME SECONDS CHANNELS` a 16-bit sample made by qor-makewave; `old NAME` an existing
# destination (a line of text, mode 640, so that a changed mode shows); `link NAME OTHER` a
# second hard link; `symlink NAME TARGET` a symbolic link; `dir NAME` a folder; `fifo NAME` a
# named pipe, read by `cat` while qor runs.
# Destinations: NAME[:KIND][=LINK][@CLEAN]. KIND: `result` (the default), `half` (one of the
# split's two results), `picture`, `pipe`, `either` (as before, or the complete result after a
# success), `swapped` (as `either`, for a name the adversary replaced: as it was after the
# change). LINK: another name of the same file, which must stay so. CLEAN: the name under which
# the clean run leaves this destination's result (a folder renamed by the adversary).
# After a failed run a result is as before; a picture may be as before or complete; a half may
# be complete only when the failed call was one that puts results in place (the other half's
# was then done), otherwise it is as before; a pipe's reader has got nothing, or the start of
# the result when the failed call was on the pipe itself (bytes sent cannot be taken back).
# After a success every destination is the clean run's result, a picture possibly as before;
# of the `either` and `swapped` ones at least one holds it.
# Every other file in the folder (and in its folders) is a source and must not change at all.
SCENARIOS=(
  "new           | wave a.wav 3 1                                     | boost /m2 a.wav out.wav        | out.wav"
  "existing      | wave a.wav 3 1; old out.wav                        | boost /m2 a.wav out.wav        | out.wav"
  "overwrite     | wave a.wav 3 1                                     | boost /W /m2 a.wav             | a.wav"
  "hardlink      | wave a.wav 3 1; old out.wav; link out.wav keep.wav | boost /m2 a.wav out.wav        | out.wav=keep.wav"
  "hardlink-W    | wave a.wav 3 1; link a.wav keep.wav                | boost /W /m2 a.wav             | a.wav=keep.wav"
  "split         | wave st.wav 3 2; old out_Lch.wav                   | lrsprit st.wav out.wav         | out_Lch.wav:half out_Rch.wav:half"
  "two-sources   | wave a.wav 3 1; wave b.wav 2.5 1                   | mix a.wav b.wav out.wav        | out.wav"
  "picture       | wave a.wav 3 1; old out.BMP                        | boost /G200 /m2 a.wav out.wav  | out.wav out.BMP:picture"
  "naked         | wave a.wav 3 1                                     | boost /N /m2 a.wav out.wav     | out.PHL"
  "kernel-copy   | wave a.wav 3 1; old out.wav                        | head /L100000 a.wav out.wav    | out.wav"
  "pipe          | wave a.wav 3 1; fifo out.wav                       | boost /m2 a.wav out.wav        | out.wav:pipe"
  "long          | wave a.wav 18 2; old out.wav                       | boost /m2 a.wav out.wav        | out.wav"
  "long-hardlink | wave a.wav 18 2; old out.wav; link out.wav keep.wav | boost /m2 a.wav out.wav       | out.wav=keep.wav"
  "hardlink-shrink | wave a.wav 3 1; wave out.wav 6 1; link out.wav keep.wav | boost /m2 a.wav out.wav | out.wav=keep.wav"
  "split-replace | wave st.wav 3 2; old out_Lch.wav; old out_Rch.wav  | lrsprit st.wav out.wav         | out_Lch.wav:half out_Rch.wav:half"
)
# The scenarios above killed with SIGKILL at every one of their calls on their files
# (`strace -e inject=CALL:signal=KILL:when=N`): the write-throughs, a replaced file, and the split
# whose two halves both replace files.
KILL_CALLS=(existing hardlink hardlink-W hardlink-shrink long-hardlink split-replace)
# Killed with SIGKILL at each of KILL_AT, in percent of the clean run's time (about 100 MB: a
# run of a few tenths of a second, shorter when the file is in the page cache).
KILL_SCENARIOS=(
  "kill-new      | wave big.wav 567 2                                 | boost /m2 big.wav out.wav      | out.wav"
  "kill-existing | wave big.wav 567 2; old out.wav                    | boost /m2 big.wav out.wav      | out.wav"
)
KILL_AT=(5 10 20 35 50 65 80 90 95 100)
QUICK_KILL_AT=(10 50 90)

# Runs stopped (SIGSTOP) just after one of their calls while CHANGE is made in their folder, then
# continued: name | files | qor's arguments | destinations | where | change | expected.
# Where: `after-read`, after each call on the scenario's files from the last read of a source
# on; `before-commit`, after the first read of a source and after each call from its last read
# up to the first that puts a result in place or writes into a destination. Change: shell
# commands run in the folder; `rewrite NAME` rewrites a stretch of NAME's samples in place at the
# same length and puts its times back. Expected: `any` (the run may succeed or refuse; the
# destinations as their kinds say), or `refused LINE` (exit 255 with LINE on the error stream,
# every destination as before).
PAUSE_SCENARIOS=(
  "swap-name     | wave a.wav 3 1; old out.wav; link out.wav keep.wav; old victim.wav | boost /m2 a.wav out.wav | out.wav:swapped keep.wav:either | after-read | rm out.wav && ln -s victim.wav out.wav | any"
  "swap-name-W   | wave a.wav 3 1; link a.wav keep.wav; old victim.wav | boost /W /m2 a.wav | a.wav:swapped keep.wav:either | after-read | rm a.wav && ln -s victim.wav a.wav | any"
  "swap-folder   | wave a.wav 3 1; dir d; old d/out.wav; dir o; old o/out.wav | boost /m2 a.wav d/out.wav | d.orig/out.wav@d/out.wav | after-read | mv d d.orig && ln -s o d | any"
  "source-grown  | wave a.wav 3 1; old out.wav | boost /m2 a.wav out.wav | out.wav | before-commit | printf 'grown' >>a.wav | refused E [QOR] source file changed while read. [a.wav]"
  "source-rewritten | wave a.wav 3 1; old out.wav | boost /m2 a.wav out.wav | out.wav | before-commit | rewrite a.wav | refused E [QOR] source file changed while read. [a.wav]"
)

# Two write-throughs into one hard-linked file at once, their writes slowed by strace (a slow
# disk): A and B, each started RACE_OFFSETS milliseconds apart. Then the lock's bound: A stopped
# while it holds its lock on the file, B must give up after waiting (about 10 s).
RACE_FILES="wave a.wav 18 2; wave b.wav 12 2; old out.wav; link out.wav keep.wav"
RACE_A="boost /m2 a.wav out.wav"
RACE_B="boost /m3 b.wav out.wav"
RACE_DELAY=150ms
RACE_OFFSETS=(0 100 300)
QUICK_RACE_OFFSETS=(100)
LOCK_WAIT_MIN=8     # seconds a second run must wait for the lock before it refuses
LOCK_WAIT_MAX=16

# Command lines run once each: name | files | expected, the command itself in COMMAND[name]: shell
# code run in the folder with $QOR (the binary), $AS_USER (setpriv to the user nobody when run as
# root, else nothing), $NONBLOCKING (starts a program with standard input and output left
# non-blocking, as a parent may leave them), $TRACE (strace recording every call that could
# write a file) and $GOT (a file outside the folder). Expected: `refused` (exit 255 within
# COMMAND_TIMEOUT, an "E" line last on the error stream, every file as before, and no file
# opened for writing, written or named), or `like` (the same exit code, files and $GOT as the
# plain command PLAIN[name] leaves in a fresh folder).
COMMANDS=(
  "name-split-source   | wave x_Lch.wav 3 2                                      | refused"
  "name-naked-source   | wave out.PHL 3 1                                        | refused"
  "name-picture-source | wave out.BMP 3 1                                        | like"
  "halves-hardlinked   | wave st.wav 3 2; old y_Lch.wav; link y_Lch.wav y_Rch.wav | refused"
  "halves-symlinked    | wave st.wav 3 2; old y_Lch.wav; symlink y_Rch.wav y_Lch.wav | refused"
  "W-stdin-pipe        | wave a.wav 3 1                                          | refused"
  "W-fifo              | wave a.wav 3 1; fifo f.wav                              | refused"
  "W-fifo-alone        | fifo f.wav                                              | refused"
  "recorder-W          | wave a.wav 3 1                                          | refused"
  "recorder-linked     | wave a.wav 3 1; old out.wav; link out.wav o2.wav        | refused"
  "nonblocking         | wave a.wav 18 2                                         | like"
  "ulimit-f            | wave a.wav 18 2                                         | refused"
  "ulimit-u            | wave a.wav 18 2                                         | like"
)
declare -A COMMAND=(
  # A result whose name is a source's: the split's left half, a naked file, a picture.
  [name-split-source]='$TRACE "$QOR" lrsprit x_Lch.wav x.wav'
  [name-naked-source]='$TRACE "$QOR" boost /N /m2 out.PHL out.wav'
  [name-picture-source]='$TRACE "$QOR" boost /G /m2 out.BMP out.wav'
  # The split's two halves one file.
  [halves-hardlinked]='$TRACE "$QOR" lrsprit st.wav y.wav'
  [halves-symlinked]='$TRACE "$QOR" lrsprit st.wav y.wav'
  # /W on a stream: its own input pipe, a named pipe with a writer waiting, and one without.
  [W-stdin-pipe]='$AS_USER bash -c '\''cat a.wav | exec "$0" boost /W /m2 /dev/stdin'\'' "$QOR"'
  [W-fifo]='(exec timeout 30 cat a.wav >f.wav &); "$QOR" boost /W /m2 f.wav'
  [W-fifo-alone]='"$QOR" boost /W /m2 f.wav'
  # A destination another program holds open for writing (a recorder, paused): replacing it
  # would send the program's next bytes to a file without a name; writing through would mix.
  [recorder-W]='exec 3>>a.wav; "$QOR" boost /W /m2 a.wav'
  [recorder-linked]='exec 3>>out.wav; "$QOR" boost /m2 a.wav out.wav'
  # Standard input and output left non-blocking, with a slow writer and a slow reader.
  [nonblocking]='{ head -c 100000 a.wav; sleep 0.3; tail -c +100001 a.wav; } |
    $NONBLOCKING "$QOR" boost /m2 - - | { sleep 0.3; cat; } >"$GOT"; exit ${PIPESTATUS[1]}'
  # A pipe source longer than the file-size limit; a thread limit that no writer thread passes.
  [ulimit-f]='cat a.wav | (ulimit -f 1024; exec "$QOR" boost /m2 - out.wav); exit ${PIPESTATUS[1]}'
  [ulimit-u]='$AS_USER bash -c '\''ulimit -u 1 && exec "$@"'\'' - "$QOR" boost /m2 a.wav out.wav'
)
declare -A PLAIN=(
  # The picture that would replace the source is not made (with its warning); the rest is as
  # without a picture.
  [name-picture-source]='"$QOR" boost /m2 out.BMP out.wav'
  [nonblocking]='cat a.wav | "$QOR" boost /m2 - - >"$GOT"; exit ${PIPESTATUS[1]}'
  [ulimit-u]='$AS_USER "$QOR" boost /m2 a.wav out.wav'
)

# The failure each call gets. The traced calls not listed here (unlink, unlinkat, and the locks'
# flock and fcntl) are counted in the clean run, and killed at, but not failed.
declare -A ERRNO=(
  [write]=ENOSPC [pwrite64]=ENOSPC [copy_file_range]=ENOSPC [fallocate]=ENOSPC [ftruncate]=ENOSPC
  [read]=EIO [pread64]=EIO [fsync]=EIO [fdatasync]=EIO [close]=EIO
  [rename]=EIO [renameat]=EIO [renameat2]=EIO [link]=EIO [linkat]=EIO
  [openat]=EACCES
  [fchown]=EPERM [fchmod]=EPERM [fchownat]=EPERM [fchmodat]=EPERM
)
TRACED="openat,read,pread64,write,pwrite64,copy_file_range,fallocate,ftruncate,fsync,fdatasync,close"
TRACED+=",rename,renameat,renameat2,link,linkat,unlink,unlinkat,fchown,fchmod,fchownat,fchmodat"
TRACED+=",flock,fcntl"
# The calls that put results in place: a failure in one of them may leave the split with one
# half already replaced, since the other half's was done.
PLACING_CALLS=" rename renameat renameat2 link linkat "
# The calls that take time: a kill before one of them must not find a named temporary file,
# which may stand only for the instant between naming a complete result and renaming it.
SLOW_CALLS=" read pread64 write pwrite64 copy_file_range fallocate ftruncate fsync fdatasync "

# After "E [OUTPUT] cannot output [name]", a failed write-through (a destination with other hard
# links) may name in a detail line where it kept the complete result; group 1 is that file. It
# must be the complete result, and it excuses nothing: the destination must be as before.
KEPT_LINE='kept[^[]*\[([^]]+)\]'
FAILED_LINE='cannot output \[([^]]+)\]'

TIMEOUT=20          # seconds for one run
COMMAND_TIMEOUT=10  # seconds for one of COMMANDS (a refusal comes at once)
OCCURRENCES=6       # the first occurrences tried for each call, besides the last one
WRITE_THROUGH_OCCURRENCES=1000  # the same for a write-through: every one
KILL_OCCURRENCES=1000           # the first occurrences killed at, besides the last one

# ---- Command line ----------------------------------------------------------------------------
QOR=build/qor
KILL=1
NAMED_TEMPORARIES=0
ONLY=""
while (($#)); do
  arg=$1
  shift
  case $arg in
    --only) (($#)) || set -- -; ONLY=",$1,"; shift ;;
    --quick) OCCURRENCES=1 WRITE_THROUGH_OCCURRENCES=2 KILL_OCCURRENCES=3 KILL_AT=("${QUICK_KILL_AT[@]}")
      RACE_OFFSETS=("${QUICK_RACE_OFFSETS[@]}") ;;
    --no-kill) KILL=0 ;;
    --named-temporaries) NAMED_TEMPORARIES=1 ;;
    -*) echo "usage: $0 [QOR_BINARY] [--quick] [--no-kill] [--named-temporaries] [--only NAMES]" >&2; exit 2 ;;
    *) QOR=$arg ;;
  esac
done

die() { echo "inject-faults: $*" >&2; exit 2; }
[[ -x $QOR && -f $QOR ]] || die "no qor binary at '$QOR' (build it first)"
QOR=$(realpath "$QOR")
MAKEWAVE=$(dirname "$QOR")/qor-makewave
[[ -x $MAKEWAVE ]] || die "no sample maker at '$MAKEWAVE' (build the qor-makewave target)"
command -v strace >/dev/null || die "strace is not installed"
strace -qq -o /dev/null true || die "strace cannot trace here"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qor-inject.XXXXXX") || die "cannot make a work folder"
trap 'rm -rf "$WORK"' EXIT
chmod 755 "$WORK"   # the runs as nobody must reach their folders

# Root runs the scenarios that name a device or need a thread limit as nobody (root passes the
# thread limit, and could make a file under /dev); anyone else runs them as they are.
AS_USER=""
if [[ $(id -u) == 0 ]]; then
  setpriv --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null ||
    die "setpriv cannot run a command as nobody"
  AS_USER="setpriv --reuid=nobody --regid=nogroup --clear-groups"
fi
NONBLOCKING=""
if command -v python3 >/dev/null; then
  cat >"$WORK/nonblocking.py" <<'PY'
import os, sys
os.set_blocking(0, False)
os.set_blocking(1, False)
os.execv(sys.argv[1], sys.argv[1:])
PY
  NONBLOCKING="python3 $WORK/nonblocking.py"
fi

# ---- Scenario state --------------------------------------------------------------------------
NAME="" SETUP="" ARGS=() DESTS=() PIPE="" TEMPLATE="" CASE=""
declare -A KIND LINKED CLEAN_AS CLEAN_STATE TEMPLATE_SHA
declare -A BEFORE_META BEFORE_SHA AFTER_META AFTER_SHA
CLEAN_RC=
KILLED_AT=""   # the call a kill was injected at, for the run being judged

# Reads one table row into the scenario's globals.
parse_row() {
  local field name setup args dests
  IFS='|' read -r name setup args dests _ <<<"$1"
  NAME=${name//[[:space:]]/} SETUP=$setup
  read -ra ARGS <<<"$args"
  DESTS=() PIPE="" KIND=() LINKED=() CLEAN_AS=()
  for field in $dests; do
    local dest=${field%%[:=@]*} kind=result
    [[ $field == *@* ]] && CLEAN_AS[$dest]=${field#*@} && field=${field%%@*}
    [[ $field == *:* ]] && kind=${field#*:} && kind=${kind%%=*}
    [[ $field == *=* ]] && LINKED[$dest]=${field#*=}
    KIND[$dest]=$kind
    [[ $kind == pipe ]] && PIPE=$dest
    DESTS+=("$dest")
  done
}

# Makes the scenario's files once, in $WORK/NAME/template.
make_template() {
  TEMPLATE=$WORK/$NAME/template CASE=$WORK/$NAME/case
  mkdir -p "$TEMPLATE"
  local step steps words
  IFS=';' read -ra steps <<<"$SETUP"
  for step in "${steps[@]}"; do
    read -ra words <<<"$step"
    case ${words[0]} in
      wave) (cd "$TEMPLATE" && timeout 120 "$MAKEWAVE" "${words[1]}" "${words[2]}" "${words[3]}" 16) >/dev/null ;;
      old) echo "the old ${words[1]}" >"$TEMPLATE/${words[1]}" && chmod 640 "$TEMPLATE/${words[1]}" ;;
      link) ln "$TEMPLATE/${words[1]}" "$TEMPLATE/${words[2]}" ;;
      symlink) ln -s "${words[2]}" "$TEMPLATE/${words[1]}" ;;
      dir) mkdir "$TEMPLATE/${words[1]}" ;;
      fifo) mkfifo "$TEMPLATE/${words[1]}" ;;
      *) false ;;
    esac || die "$NAME: cannot make files: $step"
  done
  snapshot "$TEMPLATE" BEFORE
  TEMPLATE_SHA=()
  for step in "${!BEFORE_SHA[@]}"; do TEMPLATE_SHA[$step]=${BEFORE_SHA[$step]}; done
}

# snapshot FOLDER PREFIX: fills PREFIX_META[name]="type inode links mode size" for every entry
# of the folder and of its folders ("d" alone for a folder, whose size follows its entries) and
# PREFIX_SHA[name] for the regular files (unless a third argument says the contents are known).
snapshot() {
  local -n meta=$2_META sha=$2_SHA
  local name rest sum
  meta=()
  while read -r name rest; do meta[$name]=$rest; done \
    < <(find "$1" -mindepth 1 \( -type d -printf '%P d\n' \) -o -printf '%P %y %i %n %m %s\n')
  [[ ${3:-} ]] && return
  sha=()
  while read -r sum name; do sha[$name]=$sum; done \
    < <(cd "$1" && find . -mindepth 1 -type f -printf '%P\0' | xargs -0r sha256sum)
}

# What a destination is in a snapshot: "absent", "fifo", or its content's hash and its mode.
state_of() {
  local -n metas=$1_META sums=$1_SHA
  local m=${metas[$2]:-}
  if [[ -z $m ]]; then echo absent
  elif [[ $m == p* ]]; then echo fifo
  else local f; read -ra f <<<"$m"; echo "${sums[$2]:-?} ${f[3]}"
  fi
}

# Lays out a fresh folder for one run: $CASE/run with the scenario's files, $CASE/tmp empty
# (qor's TMPDIR).
fresh_case() {
  rm -rf "$CASE" && mkdir -p "$CASE/tmp" && cp -a "$TEMPLATE" "$CASE/run" || die "$NAME: cannot copy files"
  snapshot "$CASE/run" BEFORE known
  BEFORE_SHA=()
  local name
  for name in "${!TEMPLATE_SHA[@]}"; do BEFORE_SHA[$name]=${TEMPLATE_SHA[$name]}; done
  # A destination found under another name after the adversary's change was that name's file.
  for name in "${!CLEAN_AS[@]}"; do
    BEFORE_META[$name]=${BEFORE_META[${CLEAN_AS[$name]}]:-}
    BEFORE_SHA[$name]=${BEFORE_SHA[${CLEAN_AS[$name]}]:-}
    [[ ${BEFORE_META[$name]} ]] || unset "BEFORE_META[$name]"
    [[ ${BEFORE_SHA[$name]} ]] || unset "BEFORE_SHA[$name]"
  done
}

# Ends the pipe's reader: once qor is gone, opening the pipe for a moment lets a reader still
# waiting for a writer see the end.
release_reader() {
  local tries=0 fd
  while kill -0 "$1" 2>/dev/null && ((tries++ < 300)); do
    if [[ -p $CASE/run/$PIPE ]]; then exec {fd}<>"$CASE/run/$PIPE"; exec {fd}>&-; fi
    sleep 0.01
  done
  kill "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}

# run_qor [WRAPPER...]: runs the scenario's command in $CASE/run under the wrapper, with the
# pipe's reader when there is one. Sets RC.
run_qor() {
  local reader=
  if [[ $PIPE ]]; then
    (cd "$CASE/run" && exec timeout $((TIMEOUT + 10)) cat -- "$PIPE") >"$CASE/got" 2>/dev/null &
    reader=$!
  fi
  # (The braces keep the shell's own word on a run killed by a signal out of the report.)
  { (cd "$CASE/run" && TMPDIR=$CASE/tmp exec timeout -k 5 "$TIMEOUT" "$@" "$QOR" "${ARGS[@]}") \
    </dev/null >"$CASE/out" 2>"$CASE/err"; } 2>/dev/null
  RC=$?
  [[ $reader ]] && release_reader "$reader"
}

# run_killed MS: starts the command, sends SIGKILL after MS milliseconds. Sets RC.
run_killed() {
  (cd "$CASE/run" && TMPDIR=$CASE/tmp exec "$QOR" "${ARGS[@]}") </dev/null >"$CASE/out" 2>"$CASE/err" &
  local pid=$!
  sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  RC=$?
}

# How a destination's state reads in a report.
describe() {
  local now=$1 old=$2 new=$3
  if [[ $now == "$old" ]]; then [[ $old == absent ]] && echo absent || echo "as before"
  elif [[ $now == "$new" ]]; then echo "the complete result"
  elif [[ $now == absent ]]; then echo "removed"
  elif [[ ${now% *} == "${old% *}" ]]; then echo "the old content with mode ${now#* } (was ${old#* })"
  elif [[ ${now% *} == "${new% *}" ]]; then echo "the complete result with mode ${now#* } (clean run: ${new#* })"
  else echo "damaged (neither as before nor the complete result)"
  fi
}

# ---- The invariant ---------------------------------------------------------------------------
# check_invariant RC FAULT TARGET: checks the folder after a run of the current scenario that
# exited with RC while FAULT ("" for none, a call name, or "kill") was made, on file TARGET.
# Prints what broke, "; "-separated, and returns 1 when anything did.
check_invariant() {
  local rc=$1 fault=$2 target=$3
  local -a broke=()
  local succeeded=0 d name line failed="" kept
  ((rc >= 0 && rc <= 2)) && succeeded=1

  if ((rc == 124)); then broke+=("hung (stopped after ${TIMEOUT} s)")
  elif ((rc > 128 && rc < 254)) && ! [[ $fault == kill && $rc == 137 ]]; then
    broke+=("died of signal $((rc - 128))")
  fi
  ((succeeded && rc != CLEAN_RC)) && broke+=("exit $rc where the clean run gave $CLEAN_RC")

  # A failed write-through may keep the complete result elsewhere and say where: that file
  # must be the complete result, and is removed; the destination is judged all the same.
  if ((!succeeded)) && [[ $fault != kill ]]; then
    while IFS= read -r line; do
      [[ $line =~ $FAILED_LINE ]] && failed=$(basename "${BASH_REMATCH[1]}")
      [[ $line =~ $KEPT_LINE ]] || continue
      kept=${BASH_REMATCH[1]}
      [[ $kept == /* ]] || kept=$CASE/run/$kept
      d=
      for name in "${DESTS[@]}"; do [[ $name == "$failed" || ${#DESTS[@]} == 1 ]] && d=$name; done
      if [[ -z $d ]]; then broke+=("a kept result ($kept) for no known destination")
      elif [[ $(realpath -m "$kept") != "$CASE"/* ]]; then broke+=("the result kept outside the run's folders: $kept")
      elif [[ ! -f $kept || "$(sha256sum <"$kept" | cut -d' ' -f1)" != "${CLEAN_STATE[$d]% *}" ]]; then
        broke+=("the kept $(basename "$kept") is not the complete result")
      else
        rm -f "$kept"
      fi
    done < <(cat "$CASE/out" "$CASE/err")
  fi

  snapshot "$CASE/run" AFTER
  check_sources
  local -A backup=()
  check_backups

  # Each destination: as before after a failure, the complete result after a success; after a
  # kill a write-through's destination may be damaged where its backup holds the old bytes.
  local kind now old new ok placed=0 some_either=0
  for d in "${DESTS[@]}"; do
    kind=${KIND[$d]}
    now=$(state_of AFTER "$d") old=$(state_of BEFORE "$d") new=${CLEAN_STATE[$d]}
    if [[ $kind == pipe ]]; then
      [[ $now == fifo ]] || broke+=("$d is no longer a pipe")
      local got
      got=$(stat -c %s "$CASE/got" 2>/dev/null || echo 0)
      if ((succeeded)); then
        [[ "$(sha256sum <"$CASE/got" | cut -d' ' -f1)" == "$new" ]] || broke+=("the pipe's reader got $got bytes, not the complete result")
      elif ((got > 0)); then
        # Bytes that went down the pipe before a write to it (or its close) failed cannot be
        # taken back: they must be the start of the result.
        [[ $target == "$CASE/run/$d" ]] && cmp -s -n "$got" "$CASE/got" "$WORK/$NAME/clean-got" ||
          broke+=("the pipe's reader got $got bytes from a failed run")
      fi
      continue
    fi
    if [[ ${LINKED[$d]:-} ]]; then
      local a b
      read -ra a <<<"${AFTER_META[$d]:-x 0}"
      read -ra b <<<"${AFTER_META[${LINKED[$d]}]:-x 1}"
      [[ ${a[1]} == "${b[1]}" ]] || broke+=("${LINKED[$d]} is no longer a hard link of $d")
    fi
    ok=0
    case $kind in
      picture) [[ $now == "$old" || $now == "$new" ]] && ok=1 ;;
      half) if ((succeeded)); then [[ $now == "$new" ]] && ok=1
            else [[ $now == "$old" || ($now == "$new" && ($fault == kill || $PLACING_CALLS == *" $fault "*)) ]] && ok=1
            fi ;;
      either | swapped)
         some_either=1
         [[ $now == "$new" ]] && placed=1
         if ((succeeded)) || [[ $fault == kill ]]; then [[ $now == "$old" || $now == "$new" ]] && ok=1
         else [[ $now == "$old" ]] && ok=1
         fi ;;
      *) if ((succeeded)); then [[ $now == "$new" ]] && ok=1
         elif [[ $fault == kill ]]; then [[ $now == "$old" || $now == "$new" ]] && ok=1
         else [[ $now == "$old" ]] && ok=1
         fi ;;
    esac
    if ((!ok)) && [[ $fault == kill && ${backup[$d]:-} == whole ]]; then
      ok=1   # damaged, but its old bytes are in the backup beside it
    fi
    if ((!ok)); then
      local why=""
      [[ $fault == kill && ${LINKED[$d]:-} ]] && why=", and no backup of its old bytes"
      broke+=("$d is $(describe "$now" "$old" "$new") after a $( ((succeeded)) && echo success || { [[ $fault == kill ]] && echo kill || echo failure; })$why")
    fi
  done
  ((succeeded && some_either && !placed)) && broke+=("the run succeeded, but no destination holds its result")

  check_left "$fault"

  ((${#broke[@]} == 0)) && return 0
  local joined
  joined=$(printf '%s; ' "${broke[@]}")
  echo "${joined%; }"
  return 1
}

# The parts of the invariant, each adding to its caller's `broke`:
# Every source as it was (content, inode, links, mode), from the snapshots BEFORE and AFTER.
check_sources() {
  local name d
  for name in "${!BEFORE_META[@]}"; do
    [[ ${KIND[$name]:-} ]] && continue
    for d in "${DESTS[@]}"; do [[ ${LINKED[$d]:-} == "$name" ]] && continue 2; done
    [[ ${AFTER_META[$name]:-} == "${BEFORE_META[$name]}" && ${AFTER_SHA[$name]:-} == "${BEFORE_SHA[$name]:-}" ]] ||
      broke+=("source $name changed")
  done
}

# A write-through's backup, `.DEST.qor-backup-PID` beside a destination: left only by a kill,
# with mode 0600 and the destination's old bytes (all of them, or where the destination itself
# is intact, their start: a kill while the copy was made). Sets the caller's backup[DEST] to
# "whole" or "start", and removes the file once judged.
check_backups() {
  local name dest mode size
  for name in "${!AFTER_META[@]}"; do
    [[ $name =~ ^(.*/)?\.(.+)\.qor-backup-[0-9]+$ ]] || continue
    dest=${BASH_REMATCH[1]}${BASH_REMATCH[2]}
    [[ ${KIND[$dest]:-} && ! ${BEFORE_META[$name]:-} ]] || continue
    if [[ $fault != kill ]]; then
      broke+=("left the backup $name after a $( ((succeeded)) && echo success || echo failure)")
    else
      read -r _ _ _ mode size <<<"${AFTER_META[$name]}"
      [[ $mode == 600 ]] || broke+=("the backup $name has mode $mode, not 600")
      if [[ ${AFTER_SHA[$name]:-} == "${BEFORE_SHA[$dest]:-none}" ]]; then backup[$dest]=whole
      elif [[ -f $TEMPLATE/${CLEAN_AS[$dest]:-$dest} ]] && cmp -s -n "$size" "$CASE/run/$name" "$TEMPLATE/${CLEAN_AS[$dest]:-$dest}"; then
        backup[$dest]=start
      else broke+=("the backup $name does not hold $dest's old bytes")
      fi
    fi
    rm -f "$CASE/run/$name"
    unset "AFTER_META[$name]"
  done
}

# Nothing left behind: no new name in the folder, nothing in TMPDIR. After a kill a build with
# named temporaries may leave its own beside a destination, and one with unnamed files may leave
# one only when killed in the instant between naming a result and renaming it.
check_left() {
  local fault=$1 name
  for name in "${!AFTER_META[@]}"; do
    [[ ${BEFORE_META[$name]:-} || ${KIND[$name]:-} ]] && continue
    if [[ $fault == kill && $name =~ ^(.*/)?\.(.+)\.qor-[0-9]+-[0-9]+$ && ${KIND[${BASH_REMATCH[1]}${BASH_REMATCH[2]}]:-} ]]; then
      if ((NAMED_TEMPORARIES)) || [[ $KILLED_AT && $SLOW_CALLS != *" $KILLED_AT "* ]]; then
        rm -f "$CASE/run/$name"
        continue
      fi
      [[ $KILLED_AT ]] && { broke+=("left $name after a kill at a $KILLED_AT"); continue; }
    fi
    broke+=("left $name")
  done
  while read -r name; do broke+=("left $name in TMPDIR"); done < <(find "$CASE/tmp" -mindepth 1 -maxdepth 1 -printf '%P\n')
}

# ---- Clean runs and the occurrences to fail --------------------------------------------------
# The awk functions that tell whether a traced call touches the scenario's files (run, tmp).
TOUCHES='    function inside(p) { return p == run || p == tmp || index(p, run "/") == 1 || index(p, tmp "/") == 1 }
    # Whether a call touches the scenario files: through its descriptor (strace -y shows the
    # path), or through a path that is relative (the run folder), inside, or a /proc fd link.
    function touches(a,   p, s) {
      sub(/^AT_FDCWD<[^>]*>, /, a)
      if (match(a, /^[0-9]+<[^>]*>/)) {
        p = substr(a, RSTART, RLENGTH); sub(/^[0-9]+</, "", p); sub(/>$/, "", p)
        return inside(p)
      }
      while (match(a, /"[^"]*"/)) {
        s = substr(a, RSTART + 1, RLENGTH - 2); a = substr(a, RSTART + RLENGTH)
        if (s !~ /^\// || inside(s) || s ~ /^\/proc\/self\/fd\//) return 1
      }
      return 0
    }
'

# pick_occurrences [FIRST]: reads the clean run's trace: prints "count CALL TOTAL" for each call
# made on the scenario's files, "syncs N", "mode MODE NAME" for files created with a mode, then
# "pick CALL N" for each occurrence to fail: the first FIRST (OCCURRENCES) and the last.
pick_occurrences() {
  awk -v run="$CASE/run" -v tmp="$CASE/tmp" -v first="${1:-$OCCURRENCES}" "$TOUCHES"'
    /^[0-9]+ +[a-z0-9_]+\(/ {
      pid = $1; s = $0; sub(/^[0-9]+ +/, "", s)
      call = s; sub(/\(.*/, "", call); args = substr(s, length(call) + 2)
      n = ++seen[pid, call]
      if (!touches(args)) next
      total[call]++
      if (!((call, n) in chosen)) { chosen[call, n] = 1; numbers[call] = numbers[call] " " n }
      if (call ~ /^fsync$|^fdatasync$/) syncs++
      if (call == "openat" && args ~ /O_CREAT|O_TMPFILE/ && match(args, /, 0[0-7]+\)/))
        modes[substr(args, RSTART + 2, RLENGTH - 3) " " (args ~ /O_TMPFILE/ ? "unnamed" : "named")] = 1
    }
    END {
      print "syncs", syncs + 0
      for (m in modes) print "mode", m
      for (call in total) {
        print "count", call, total[call]
        k = split(substr(numbers[call], 2), list, " ")
        # strace numbers the calls of each thread apart: sort the per-thread numbers.
        for (i = 2; i <= k; i++) for (j = i; j > 1 && list[j - 1] + 0 > list[j] + 0; j--) { t = list[j]; list[j] = list[j - 1]; list[j - 1] = t }
        for (i = 1; i <= k; i++) if (i <= first || i == k) print "pick", call, list[i]
      }
    }' "$WORK/$NAME/clean-trace"
}

# The order of a write-through in the clean run's trace: before the first byte goes into the
# destination (any of its names), it is locked (flock, or an OFD or POSIX write lock), and a
# backup `.NAME.qor-backup-PID` beside it is made and synced; after the last, the destination is
# synced, the lock still held. Prints one line for each rule the run broke.
write_through_order() {
  local d targets=" " bases=""
  for d in "${!LINKED[@]}"; do
    targets+="$CASE/run/$d $CASE/run/${LINKED[$d]} "
    bases+="${bases:+|}${d//./[.]}|${LINKED[$d]//./[.]}"
  done
  awk -v targets="$targets" -v backup_re="(^|[/\"])[.]($bases)[.]qor-backup-[0-9]+" '
    # The descriptor a call names first, and its path: "3</run/out.wav>".
    function fd_of(a) {
      sub(/^AT_FDCWD<[^>]*>, /, a)
      if (!match(a, /^[0-9]+<[^>]*>/)) { path = ""; return -1 }
      path = substr(a, RSTART, RLENGTH); n = path; sub(/<.*/, "", n); sub(/^[0-9]+</, "", path); sub(/>$/, "", path)
      return n + 0
    }
    function is_target(p) { return p != "" && index(targets, " " p " ") > 0 }
    /^[0-9]+ +[a-z0-9_]+\(/ {
      s = $0; sub(/^[0-9]+ +/, "", s)
      call = s; sub(/\(.*/, "", call); args = substr(s, length(call) + 2)
      if (s ~ /= -1 /) next
      fd = fd_of(args); target = is_target(path)
      # The backup: created or named under its name (an unnamed file may be synced first, then
      # named), or a descriptor of it.
      f = -1
      if (call == "openat" && match(s, /= [0-9]+</)) { f = substr(s, RSTART + 2); sub(/<.*/, "", f); f += 0; delete synced_fd[f] }
      if (args ~ backup_re) {
        if (!backup_at) backup_at = NR
        if (call == "linkat" && match(args, /"\/proc\/self\/fd\/[0-9]+"/)) { f = substr(args, RSTART + 15, RLENGTH - 16); f += 0 }
        else if (call == "linkat" && args ~ /AT_EMPTY_PATH/) f = fd
        if (f >= 0) { backup_fd[f] = 1; if ((f in synced_fd) && !backup_synced) backup_synced = synced_fd[f] }
      }
      if (fd >= 0 && path ~ backup_re) backup_fd[fd] = 1
      if (call ~ /^(fsync|fdatasync)$/ && fd >= 0) {
        if (!(fd in synced_fd)) synced_fd[fd] = NR
        if ((fd in backup_fd) && !backup_synced) backup_synced = NR
      }
      if (call == "close" && fd >= 0) { delete backup_fd[fd]; delete synced_fd[fd] }
      # The lock, and its end.
      if (target && !locked && ((call == "flock" && args ~ /LOCK_EX/) ||
          (call == "fcntl" && args ~ /F_(OFD_)?SETLKW?/ && args ~ /F_WRLCK/))) { locked = NR; lock_fd = fd }
      if (locked && !unlocked && fd == lock_fd && (call == "close" || (call == "flock" && args ~ /LOCK_UN/) ||
          (call == "fcntl" && args ~ /F_(OFD_)?SETLKW?/ && args ~ /F_UNLCK/))) unlocked = NR
      # Bytes into the destination.
      written = 0
      if (target && call ~ /^(write|pwrite64|pwritev|pwritev2|writev|ftruncate)$/) written = 1
      if (target && call == "fallocate" && args !~ /KEEP_SIZE/) written = 1
      if (call == "copy_file_range" && match(args, /^[0-9]+<[^>]*>, [^,]*, [0-9]+<[^>]*>/)) {
        out = substr(args, RSTART, RLENGTH); sub(/^[0-9]+<[^>]*>, [^,]*, [0-9]+</, "", out); sub(/>$/, "", out)
        if (is_target(out)) written = 1
      }
      if (written) { if (!first_write) first_write = NR; last_write = NR; synced = 0 }
      if (target && call ~ /^(fsync|fdatasync)$/ && last_write) synced = NR
    }
    END {
      if (!first_write) exit
      if (!locked || locked > first_write) print "the destination is written through without a lock held"
      else if (backup_at && locked > backup_at) print "the backup is made before the lock is taken"
      if (!backup_at || backup_at > first_write) print "the destination is written through before a backup of it is made"
      else if (!backup_synced || backup_synced > first_write) print "the destination is written through before its backup is synced"
      if (!synced) print "the destination is not synced after it is written through"
      else if (locked && unlocked && unlocked < synced) print "the lock is given up before the destination is synced"
    }' "$WORK/$NAME/clean-trace"
}

# The file a failed call touched, from the injection run's trace: the first failed call on the
# scenario's files (strace also fails the same occurrence in the other threads, such as a log
# line's write).
injected_target() {
  local line args
  line=$(grep 'INJECTED' "$CASE/trace" | grep -m1 -e "$CASE/run" -e "$CASE/tmp" -E -e '\((AT_FDCWD<[^>]*>, )?"[^/]') ||
    line=$(grep -m1 'INJECTED' "$CASE/trace") || return 1
  args=${line#*(}
  args=${args#AT_FDCWD<*>, }
  if [[ $args =~ ^[0-9]+\<([^\>]*)\> ]]; then echo "${BASH_REMATCH[1]}"
  elif [[ $args =~ ^\"([^\"]*)\" ]]; then echo "${BASH_REMATCH[1]}"
  else echo "?"
  fi
}

FAULTS=0 BROKEN=0 MISSED=0 CLEAN_PROBLEMS=0

# One fault's outcome: counts it and prints it when the files were not kept.
judge() {
  local fault=$1 occurrence=$2 errno=$3 target=$4 what
  FAULTS=$((FAULTS + 1))
  if ! what=$(check_invariant "$RC" "$fault" "$target"); then
    BROKEN=$((BROKEN + 1))
    echo "BROKEN $NAME $fault $occurrence $errno${target:+ (on ${target#"$CASE/"})}: $what [exit $RC]"
  fi
}

# The clean run: its results are what a successful run must leave. Its trace is kept as
# $WORK/NAME/clean-trace.
clean_run() {
  fresh_case
  run_qor strace -f -qq -y -o "$CASE/trace" -e trace="$TRACED"
  ((RC >= 0 && RC <= 2)) || die "$NAME: the clean run failed (exit $RC): $(tail -n1 "$CASE/err")"
  CLEAN_RC=$RC
  cp "$CASE/trace" "$WORK/$NAME/clean-trace"
  snapshot "$CASE/run" AFTER
  CLEAN_STATE=()
  local d
  for d in "${DESTS[@]}"; do CLEAN_STATE[$d]=$(state_of AFTER "${CLEAN_AS[$d]:-$d}"); done
  # The adversary's names are not there in a clean run.
  ((${#CLEAN_AS[@]})) && return
  if [[ $PIPE ]]; then
    cp "$CASE/got" "$WORK/$NAME/clean-got"
    CLEAN_STATE[$PIPE]=$(sha256sum <"$CASE/got" | cut -d' ' -f1)
    [[ -s $CASE/got ]] || die "$NAME: the pipe's reader got nothing in the clean run"
  fi
  local what
  if ! what=$(check_invariant "$RC" "" ""); then
    CLEAN_PROBLEMS=$((CLEAN_PROBLEMS + 1))
    echo "BROKEN $NAME clean run: $what"
  fi
}

inject_scenario() {
  parse_row "$1"
  make_template
  clean_run
  local report picks=() notes=() kind call n counts="" line
  # A write-through is failed at every occurrence of every call: the backup and the restore
  # are in its middle.
  if ((${#LINKED[@]})); then
    report=$(pick_occurrences "$WRITE_THROUGH_OCCURRENCES")
    while IFS= read -r line; do
      [[ $line ]] || continue
      CLEAN_PROBLEMS=$((CLEAN_PROBLEMS + 1))
      echo "BROKEN $NAME clean run: $line"
    done <<<"$(write_through_order)"
  else
    report=$(pick_occurrences)
  fi
  while read -r kind call n; do
    case $kind in
      count) counts+=" $call $n," ;;
      pick) [[ ${ERRNO[$call]:-} ]] && picks+=("$call $n") ;;
      # Every result, new or replacing a file, is synced before it takes its name, or a power
      # cut could leave the name on an empty file (or lose a success): a clean run that does not
      # counts as broken.
      syncs) if [[ $call == 0 && -z $PIPE ]]; then
          CLEAN_PROBLEMS=$((CLEAN_PROBLEMS + 1))
          echo "BROKEN $NAME clean run: no result synced before it takes its name"
        fi ;;
      mode) [[ $call != 0600 && $n == named ]] && notes+=("a named file is created with mode $call before its content is complete") ;;
    esac
  done <<<"$report"
  echo "$NAME: exit $CLEAN_RC; calls on its files:${counts%,}; ${#picks[@]} faults"
  # What the final state cannot show, for information.
  for n in "${notes[@]}"; do echo "  note: $n"; done
  local pick errno target
  for pick in "${picks[@]}"; do
    read -r call n <<<"$pick"
    errno=${ERRNO[$call]}
    fresh_case
    run_qor strace -f -qq -y -o "$CASE/trace" -e trace="$call" -e inject="$call:error=$errno:when=$n"
    if ! target=$(injected_target); then
      # The run took another way and never reached this call: still checked, not counted.
      MISSED=$((MISSED + 1))
      local what
      what=$(check_invariant "$RC" "" "") || { BROKEN=$((BROKEN + 1)); echo "BROKEN $NAME $call $n $errno (not reached): $what [exit $RC]"; }
      continue
    fi
    judge "$call" "$n" "$errno" "$target"
  done
  if ((KILL)) && [[ " ${KILL_CALLS[*]} " == *" $NAME "* ]]; then kill_at_calls; fi
}

# A SIGKILL before each call the clean run made on the scenario's files, one per run.
kill_at_calls() {
  local kind call n pick kills=() what
  while read -r kind call n; do [[ $kind == pick ]] && kills+=("$call $n"); done < <(pick_occurrences "$KILL_OCCURRENCES")
  echo "$NAME: SIGKILL before each of ${#kills[@]} calls"
  for pick in "${kills[@]}"; do
    read -r call n <<<"$pick"
    fresh_case
    KILLED_AT=$call
    run_qor strace -f -qq -o /dev/null -e trace="$call" -e inject="$call:signal=KILL:when=$n"
    if ((RC != 137)); then
      # The run ended before it got there: still checked, not counted.
      MISSED=$((MISSED + 1))
      KILLED_AT=""
      what=$(check_invariant "$RC" "" "") || { BROKEN=$((BROKEN + 1)); echo "BROKEN $NAME kill $call $n (not reached): $what [exit $RC]"; }
      continue
    fi
    judge kill "$call:$n" SIGKILL ""
    KILLED_AT=""
  done
}

kill_scenario() {
  parse_row "$1"
  make_template
  # The clean run, twice: the shorter time sets the moments.
  local d at ms start took shortest=
  for _ in 1 2; do
    fresh_case
    start=$(date +%s%N)
    run_qor
    took=$((($(date +%s%N) - start) / 1000000))
    ((RC >= 0 && RC <= 2)) || die "$NAME: the clean run failed (exit $RC)"
    ((took < ${shortest:=$took})) && shortest=$took
  done
  CLEAN_RC=$RC
  snapshot "$CASE/run" AFTER
  CLEAN_STATE=()
  for d in "${DESTS[@]}"; do CLEAN_STATE[$d]=$(state_of AFTER "$d"); done
  echo "$NAME: clean run $shortest ms; SIGKILL at ${KILL_AT[*]} % of it"
  for at in "${KILL_AT[@]}"; do
    ms=$((shortest * at / 100))
    fresh_case
    run_killed "$ms"
    judge kill "${ms}ms" SIGKILL ""
  done
}

# ---- The adversary: changes made while a run is stopped --------------------------------------
# pause_points WHERE: the calls ("CALL N") of the clean run's trace to stop the run after (see
# PAUSE_SCENARIOS).
pause_points() {
  local sources="" dests=" " d
  sources=" $(find "$TEMPLATE" -type f -printf "$CASE/run/%P ") "
  for d in "${DESTS[@]}"; do dests+="$CASE/run/$d $CASE/run/${CLEAN_AS[$d]:-$d} ${LINKED[$d]:+$CASE/run/${LINKED[$d]} }"; done
  awk -v run="$CASE/run" -v tmp="$CASE/tmp" -v where="$1" -v sources="$sources" -v dests="$dests" "$TOUCHES"'
    function path_of(a,   p) {
      sub(/^AT_FDCWD<[^>]*>, /, a)
      if (!match(a, /^[0-9]+<[^>]*>/)) return ""
      p = substr(a, RSTART, RLENGTH); sub(/^[0-9]+</, "", p); sub(/>$/, "", p)
      return p
    }
    /^[0-9]+ +[a-z0-9_]+\(/ {
      pid = $1; s = $0; sub(/^[0-9]+ +/, "", s)
      call = s; sub(/\(.*/, "", call); args = substr(s, length(call) + 2)
      n = ++seen[pid, call]
      if (!touches(args)) next
      k++; calls[k] = call " " n
      p = path_of(args)
      if (call ~ /^(read|pread64|copy_file_range)$/ && p != "" && index(sources, " " p " ")) {
        if (!first_read) first_read = k
        last_read = k
      }
      if (call ~ /^(link|linkat|rename|renameat|renameat2)$/) commit[k] = 1
      if (call ~ /^(write|pwrite64|ftruncate|fallocate|copy_file_range)$/ && p != "" && index(dests, " " p " ")) commit[k] = 1
    }
    END {
      for (i = 1; i <= k; i++) {
        if (i < last_read && !(where == "before-commit" && i == first_read)) continue
        if (where == "before-commit" && i > last_read && commit[i]) break
        if (!(calls[i] in done)) { done[calls[i]] = 1; print calls[i] }
      }
    }' "$WORK/$NAME/clean-trace"
}

# rewrite NAME: 64 KiB of NAME's samples rewritten in place, its length and times as they were
# (only the change time tells).
rewrite() {
  touch -r "$1" "$CASE/times" &&
    head -c 65536 /dev/zero | tr '\0' '\001' | dd of="$1" bs=4096 seek=25 iflag=fullblock conv=notrunc status=none &&
    touch -r "$CASE/times" "$1"
}

# After the adversary's change the folder's files are as the change left them: every name but
# the destinations (whose old state stays the template's, unless the change replaced the name:
# `swapped`) and qor's own temporary files.
take_change() {
  local name
  local -A CHANGED_META CHANGED_SHA
  snapshot "$CASE/run" CHANGED
  for name in "${!BEFORE_META[@]}"; do
    [[ ${KIND[$name]:-} && ${KIND[$name]} != swapped ]] && continue
    unset "BEFORE_META[$name]" "BEFORE_SHA[$name]"
  done
  for name in "${!CHANGED_META[@]}"; do
    [[ $name == *.qor-* || (${KIND[$name]:-} && ${KIND[$name]} != swapped) ]] && continue
    BEFORE_META[$name]=${CHANGED_META[$name]}
    [[ ${CHANGED_SHA[$name]:-} ]] && BEFORE_SHA[$name]=${CHANGED_SHA[$name]}
  done
}

# run_paused CALL N CHANGE: runs the scenario's command under strace, which stops qor with
# SIGSTOP just after its N-th CALL; CHANGE is made in the folder, and qor continued. Sets RC;
# returns 1 when the run never stopped there.
run_paused() {
  local call=$1 n=$2 change=$3 pid="" tries
  : >"$CASE/trace"
  (cd "$CASE/run" && TMPDIR=$CASE/tmp exec timeout -k 5 "$TIMEOUT" strace -f -qq -o "$CASE/trace" \
    -e trace="$call" -e inject="$call:signal=STOP:when=$n" "$QOR" "${ARGS[@]}") </dev/null >"$CASE/out" 2>"$CASE/err" &
  local runner=$!
  for ((tries = 0; tries < TIMEOUT * 100; tries++)); do
    pid=$(sed -n 's/^\([0-9]*\) *--- stopped by SIGSTOP.*/\1/p' "$CASE/trace" | head -n1)
    [[ $pid ]] && break
    kill -0 "$runner" 2>/dev/null || break
    sleep 0.01
  done
  if [[ $pid ]]; then
    (cd "$CASE/run" && eval "$change") || echo "inject-faults: $NAME: the change failed: $change" >&2
    take_change
    kill -CONT "$pid"
  fi
  wait "$runner"
  RC=$?
  [[ $pid ]]
}

pause_scenario() {
  local where change expect line point call n what
  IFS='|' read -r _ _ _ _ where change expect <<<"$1"
  where=${where//[[:space:]]/}
  read -r change <<<"$change"
  read -r expect <<<"$expect"
  parse_row "$1"
  make_template
  clean_run
  local points=()
  while read -r call n; do points+=("$call $n"); done < <(pause_points "$where")
  echo "$NAME: exit $CLEAN_RC; stopped after each of ${#points[@]} calls ($where) while: $change"
  for point in "${points[@]}"; do
    read -r call n <<<"$point"
    fresh_case
    if ! run_paused "$call" "$n" "$change"; then
      MISSED=$((MISSED + 1))
      what=$(check_invariant "$RC" "" "") || { BROKEN=$((BROKEN + 1)); echo "BROKEN $NAME stop $call $n (not reached): $what [exit $RC]"; }
      continue
    fi
    FAULTS=$((FAULTS + 1))
    what=$(check_invariant "$RC" "" "") || what+="; "
    if [[ $expect == refused* ]]; then
      line=${expect#refused }
      ((RC == 255)) || what+="exit $RC where a refusal was due; "
      grep -qxF -- "$line" "$CASE/err" || what+="no line \"$line\"; "
    fi
    if [[ $what ]]; then
      BROKEN=$((BROKEN + 1))
      echo "BROKEN $NAME stop after $call $n: ${what%; } [exit $RC]"
    fi
  done
}

# ---- The adversary: two write-throughs at once --------------------------------------------------
# race_setup: the race's files, and the result each run leaves on its own (RESULT_A, RESULT_B).
RESULT_A="" RESULT_B="" RACE_OLD=""
race_setup() {
  parse_row "race | $RACE_FILES | $RACE_A | out.wav=keep.wav"
  make_template
  local side args
  for side in A B; do
    fresh_case
    args=RACE_$side
    read -ra ARGS <<<"${!args}"
    run_qor
    ((RC == 1)) || die "race: run $side alone failed (exit $RC)"
    printf -v "RESULT_$side" %s "$(sha256sum <"$CASE/run/out.wav" | cut -d' ' -f1)"
  done
  RACE_OLD=$(sha256sum <"$TEMPLATE/out.wav" | cut -d' ' -f1)
  [[ $RESULT_A != "$RESULT_B" ]] || die "race: the two runs give the same result"
}

# start_side SIDE [WRAPPER...]: starts run SIDE in the case folder; its pid in SIDE_PID.
start_side() {
  local side=$1 args line=RACE_$1
  shift
  read -ra args <<<"${!line}"
  (cd "$CASE/run" && TMPDIR=$CASE/tmp exec timeout -k 5 "$TIMEOUT" "$@" "$QOR" "${args[@]}") \
    </dev/null >"$CASE/out-$side" 2>"$CASE/err-$side" &
  printf -v "${side}_PID" %s $!
}

# What the target holds: "old", "A", "B", or "a mixture".
race_target() {
  local sum
  sum=$(sha256sum <"$CASE/run/out.wav" | cut -d' ' -f1)
  case $sum in
    "$RACE_OLD") echo old ;;
    "$RESULT_A") echo A ;;
    "$RESULT_B") echo B ;;
    *) echo "a mixture" ;;
  esac
}

# race_folder [LOCK]: the folder after a race: the sources and the other link as they were,
# nothing left; a run that failed said why with an "E" line, and after LOCK (a lock given up)
# with "E [OUTPUT] cannot output [out.wav]" and a detail line. Adds to the caller's `broke`.
race_folder() {
  local side code
  snapshot "$CASE/run" AFTER
  check_sources
  local a b
  read -ra a <<<"${AFTER_META[out.wav]:-x 0}"
  read -ra b <<<"${AFTER_META[keep.wav]:-x 1}"
  [[ ${a[1]} == "${b[1]}" ]] || broke+=("keep.wav is no longer a hard link of out.wav")
  check_left ""
  for side in A B; do
    code=RC_$side
    code=${!code}
    [[ $code ]] || continue   # not run
    if ((code == 255)) && [[ -z ${1:-} ]]; then
      grep -q '^E ' "$CASE/err-$side" || broke+=("run $side failed without an \"E\" line")
    elif ((code == 255)); then
      grep -qxF "E [OUTPUT] cannot output [out.wav]" "$CASE/err-$side" &&
        grep -A1 -xF "E [OUTPUT] cannot output [out.wav]" "$CASE/err-$side" | tail -n +2 | grep -q '^  \[' ||
        broke+=("run $side failed without \"E [OUTPUT] cannot output [out.wav]\" and a detail line")
    elif ((code != 1)); then
      broke+=("run $side exit $code")
    fi
  done
}

race_report() {
  FAULTS=$((FAULTS + 1))
  ((${#broke[@]} == 0)) && return
  BROKEN=$((BROKEN + 1))
  local joined
  joined=$(printf '%s; ' "${broke[@]}")
  echo "BROKEN race $1: ${joined%; } [exit A $RC_A${RC_B:+, B $RC_B}]"
}

race_scenario() {
  race_setup
  echo "race: A ($RACE_A) and B ($RACE_B) into one hard-linked file, their writes slowed by $RACE_DELAY; B started ${RACE_OFFSETS[*]} ms after A"
  local offset now slow=(strace -f -qq -o /dev/null -e trace=pwrite64,copy_file_range -e "inject=pwrite64,copy_file_range:delay_enter=$RACE_DELAY")
  for offset in "${RACE_OFFSETS[@]}"; do
    fresh_case
    start_side A "${slow[@]}"
    sleep "$(printf '%d.%03d' $((offset / 1000)) $((offset % 1000)))"
    start_side B "${slow[@]}"
    wait "$A_PID"; RC_A=$?
    wait "$B_PID"; RC_B=$?
    local -a broke=()
    now=$(race_target)
    if ((RC_A == 1 && RC_B == 1)); then [[ $now == A || $now == B ]] || broke+=("both succeeded, out.wav holds $now")
    elif ((RC_A == 1)); then [[ $now == A ]] || broke+=("only A succeeded, out.wav holds $now")
    elif ((RC_B == 1)); then [[ $now == B ]] || broke+=("only B succeeded, out.wav holds $now")
    else [[ $now == old ]] || broke+=("both failed, out.wav holds $now")
    fi
    race_folder
    race_report "B ${offset} ms after A"
  done

  # The lock's bound: A stopped while it holds its write lock on out.wav; B must wait, then give
  # up, and A, continued, must finish.
  echo "race: A stopped while it holds its lock on out.wav, B must give up after ${LOCK_WAIT_MIN}-${LOCK_WAIT_MAX} s"
  fresh_case
  local inode pid="" tries took start
  inode=$(stat -c %i "$CASE/run/out.wav")
  start_side A strace -f -qq -o "$CASE/trace-A" -e trace=execve,fsync,fdatasync -e inject=fsync,fdatasync:delay_enter=300ms
  for ((tries = 0; tries < 1000; tries++)); do
    if grep -Eq " WRITE +[-0-9]+ [0-9a-f]+:[0-9a-f]+:$inode " /proc/locks; then
      pid=$(sed -n 's/^\([0-9]*\) *execve(.*/\1/p' "$CASE/trace-A" | head -n1)
      break
    fi
    kill -0 "$A_PID" 2>/dev/null || break
    sleep 0.005
  done
  local -a broke=()
  RC_B=""
  if [[ -z $pid ]]; then
    wait "$A_PID"; RC_A=$?
    broke+=("run A held no write lock on out.wav while it ran")
  else
    kill -STOP "$pid"
    start=$(date +%s%N)
    start_side B
    wait "$B_PID"; RC_B=$?
    took=$((($(date +%s%N) - start) / 1000000000))
    kill -CONT "$pid"
    wait "$A_PID"; RC_A=$?
    ((RC_B == 255)) || broke+=("B did not give up while A held the lock")
    ((RC_B != 255 || (took >= LOCK_WAIT_MIN && took <= LOCK_WAIT_MAX))) || broke+=("B gave up after $took s")
    now=$(race_target)
    ((RC_A == 1)) && [[ $now == A ]] || broke+=("out.wav holds $now after A")
  fi
  race_folder lock
  race_report "lock held"
}

# ---- The adversary: command lines ------------------------------------------------------------
# Runs COMMAND (shell code) in a fresh folder of the current scenario, everyone allowed to write
# there (runs as nobody). Sets RC; $CASE/got is $GOT.
run_command() {
  fresh_case
  chmod 777 "$CASE/run" "$CASE/tmp"
  rm -f "$CASE/got"
  local TRACE="strace -f -qq -y -o $CASE/trace -e trace=openat,write,pwrite64,copy_file_range,ftruncate,fallocate,rename,renameat,renameat2,link,linkat"
  : >"$CASE/trace"
  { (cd "$CASE/run" && export TMPDIR=$CASE/tmp GOT=$CASE/got QOR TRACE AS_USER NONBLOCKING &&
    exec timeout -k 5 "$COMMAND_TIMEOUT" bash -c "$1") </dev/null >"$CASE/out" 2>"$CASE/err"; } 2>/dev/null
  RC=$?
  # A writer still waiting at a named pipe that qor left alone: open it for a moment.
  local fifo fd tries
  for fifo in "$CASE"/run/*; do
    [[ -p $fifo ]] || continue
    for ((tries = 0; tries < 20; tries++)); do exec {fd}<>"$fifo"; exec {fd}>&-; sleep 0.01; done
  done
}

# The calls of $CASE/trace that wrote or named a file in the scenario's folders.
writes_in_trace() {
  awk -v run="$CASE/run" -v tmp="$CASE/tmp" "$TOUCHES"'
    /^[0-9]+ +[a-z0-9_]+\(/ {
      s = $0; sub(/^[0-9]+ +/, "", s)
      call = s; sub(/\(.*/, "", call); args = substr(s, length(call) + 2)
      if (s ~ /= -1 / || !touches(args)) next
      if (call == "openat" && args !~ /O_WRONLY|O_RDWR|O_CREAT|O_TMPFILE/) next
      print call
    }' "$CASE/trace" | sort | uniq -c | awk '{ printf "%s%s %s", sep, $2, $1; sep = ", " }'
}

command_scenario() {
  local expect what state want_rc want_got
  IFS='|' read -r _ _ expect <<<"$1"
  expect=${expect//[[:space:]]/}
  parse_row "$1"
  ARGS=() DESTS=()
  make_template
  local code=${COMMAND[$NAME]}
  if [[ $code == *'$NONBLOCKING'* && -z $NONBLOCKING ]]; then echo "$NAME: skipped (no python3)"; return; fi
  if [[ $expect == like ]]; then
    # The plain command's result.
    run_command "${PLAIN[$NAME]}"
    ((RC >= 0 && RC <= 2)) || die "$NAME: the plain command failed (exit $RC): $(tail -n1 "$CASE/err")"
    want_rc=$RC
    snapshot "$CASE/run" AFTER
    state=$(for n in "${!AFTER_META[@]}"; do echo "$n $(state_of AFTER "$n")"; done | sort)
    want_got=$({ sha256sum <"$CASE/got"; } 2>/dev/null | cut -d' ' -f1)
  fi
  echo "$NAME: $expect"
  run_command "$code"
  FAULTS=$((FAULTS + 1))
  local -a broke=()
  if [[ $expect == refused ]]; then
    ((RC == 124)) && broke+=("hung (stopped after $COMMAND_TIMEOUT s)")
    ((RC == 255 || RC == 124)) || broke+=("exit $RC where a refusal was due")
    # The refusal's "E" line comes last, or last but its detail line ("  [OUTPUT] why").
    local last
    last=$(tail -n1 "$CASE/err")
    [[ $last == "  ["* ]] && last=$(tail -n2 "$CASE/err" | head -n1)
    [[ $last == E\ * ]] || broke+=("the last line on the error stream is no \"E\" line: $(tail -n1 "$CASE/err")")
    what=$(writes_in_trace)
    [[ -z $what ]] || broke+=("refused after writing ($what)")
    snapshot "$CASE/run" AFTER
    check_sources
    check_left ""
  else
    ((RC == want_rc)) || broke+=("exit $RC where the plain command gave $want_rc")
    snapshot "$CASE/run" AFTER
    [[ $(for n in "${!AFTER_META[@]}"; do echo "$n $(state_of AFTER "$n")"; done | sort) == "$state" ]] ||
      broke+=("the files differ from the plain command's")
    [[ $({ sha256sum <"$CASE/got"; } 2>/dev/null | cut -d' ' -f1) == "$want_got" ]] ||
      broke+=("got $(stat -c %s "$CASE/got" 2>/dev/null || echo 0) bytes, not the plain command's output")
    find "$CASE/tmp" -mindepth 1 -maxdepth 1 -printf '%P\n' | grep -q . && broke+=("left files in TMPDIR")
  fi
  if ((${#broke[@]})); then
    BROKEN=$((BROKEN + 1))
    local joined
    joined=$(printf '%s; ' "${broke[@]}")
    echo "BROKEN $NAME: ${joined%; } [exit $RC]"
  fi
}

# Whether the row (or the name) is one to run.
chosen() {
  local name=${1%%|*}
  name=${name//[[:space:]]/}
  [[ -z $ONLY || $ONLY == *",$name,"* ]]
}

START=$SECONDS
for row in "${SCENARIOS[@]}"; do chosen "$row" && inject_scenario "$row"; done
if ((KILL)); then for row in "${KILL_SCENARIOS[@]}"; do chosen "$row" && kill_scenario "$row"; done; fi
for row in "${PAUSE_SCENARIOS[@]}"; do chosen "$row" && pause_scenario "$row"; done
chosen race && race_scenario
for row in "${COMMANDS[@]}"; do
  # Another program's open for writing is seen through a Linux lease, which the portable build
  # (POSIX calls only) has not.
  ((NAMED_TEMPORARIES)) && [[ $row == recorder-* ]] && continue
  chosen "$row" && command_scenario "$row"
done
((MISSED)) && echo "$MISSED planned faults were not reached (the run took another way); their runs were checked too"
((CLEAN_PROBLEMS)) && echo "$CLEAN_PROBLEMS clean runs broke the invariant"
echo "took $((SECONDS - START)) s"
echo "$FAULTS faults injected, $BROKEN broke the invariant"
((BROKEN == 0 && CLEAN_PROBLEMS == 0))
