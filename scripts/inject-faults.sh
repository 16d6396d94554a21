#!/usr/bin/env bash
# Fault injection: qor promises that a run that does not succeed leaves every file as it was.
# For each scenario below, a clean run under strace lists the system calls qor makes on the
# scenario's files; then each of those calls is made to fail, one call and occurrence per run
# (`strace -e inject=CALL:error=ERRNO:when=N`), and after every run the files are checked.
# Long runs are also killed with SIGKILL at several moments.
#
#   scripts/inject-faults.sh [QOR_BINARY] [--quick] [--no-kill] [--named-temporaries]
#
# QOR_BINARY defaults to build/qor; qor-makewave is taken from beside it. Nothing is built here.
# --quick tries fewer occurrences and kill moments; --no-kill leaves the kill runs out.
# --named-temporaries is for a build without unnamed files (the portable build), whose results
# are written under a private name beside the destination: a SIGKILL, which no handler sees,
# may leave that one file, `.DEST.qor-PID-N`; after a kill it is allowed, and removed.
# Prints one line per run that broke the promise, then "N faults injected, M broke the
# invariant"; exits 0 only when M is 0.
#
# strace counts the calls of each thread apart, so `when=N` fails the N-th such call of every
# thread: the occurrences tried are the per-thread numbers of the calls that touch the
# scenario's files (its folder, or its TMPDIR), never those of the dynamic loader, the locale
# or the log.
set -uo pipefail

# ---- Scenarios -------------------------------------------------------------------------------
# name | files made first | qor's arguments | destinations
#
# Files: `wave NAME SECONDS CHANNELS` a 16-bit sample made by qor-makewave; `old NAME` an existing
# destination (a line of text, mode 640, so that a changed mode shows); `link NAME OTHER` a
# second hard link; `fifo NAME` a named pipe, read by `cat` while qor runs.
# Destinations: NAME[:KIND][=LINK]. KIND: `result` (the default), `half` (one of the split's two
# results), `picture`, `pipe`. LINK: another name of the same file, which must stay so.
# After a failed run a result is as before; a picture may be as before or complete; a half may
# be complete only when the failed call was one that puts results in place (the other half's
# was then done), otherwise it is as before; a pipe's reader has got nothing, or the start of
# the result when the failed call was on the pipe itself (bytes sent cannot be taken back).
# After a success every destination is the clean run's result, a picture possibly as before.
# Every other file in the folder is a source and must not change at all.
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
)
# Killed with SIGKILL at each of KILL_AT, in percent of the clean run's time (about 100 MB: a
# run of a few tenths of a second, shorter when the file is in the page cache).
KILL_SCENARIOS=(
  "kill-new      | wave big.wav 567 2                                 | boost /m2 big.wav out.wav      | out.wav"
  "kill-existing | wave big.wav 567 2; old out.wav                    | boost /m2 big.wav out.wav      | out.wav"
)
KILL_AT=(5 10 20 35 50 65 80 90 95 100)
QUICK_KILL_AT=(10 50 90)

# The failure each call gets. The traced calls not listed here (unlink, unlinkat) are counted in
# the clean run but not failed.
declare -A ERRNO=(
  [write]=ENOSPC [pwrite64]=ENOSPC [copy_file_range]=ENOSPC [fallocate]=ENOSPC [ftruncate]=ENOSPC
  [read]=EIO [pread64]=EIO [fsync]=EIO [fdatasync]=EIO [close]=EIO
  [rename]=EIO [renameat]=EIO [renameat2]=EIO [link]=EIO [linkat]=EIO
  [openat]=EACCES
  [fchown]=EPERM [fchmod]=EPERM [fchownat]=EPERM [fchmodat]=EPERM
)
TRACED="openat,read,pread64,write,pwrite64,copy_file_range,fallocate,ftruncate,fsync,fdatasync,close"
TRACED+=",rename,renameat,renameat2,link,linkat,unlink,unlinkat,fchown,fchmod,fchownat,fchmodat"
# The calls that put results in place: a failure in one of them may leave the split with one
# half already replaced, since the other half's was done.
PLACING_CALLS=" rename renameat renameat2 link linkat "

# After "E [OUTPUT] cannot output [name]", a failed write-through (a destination with other hard
# links) names in a detail line where it kept the complete result; group 1 is that file.
KEPT_LINE='kept[^[]*\[([^]]+)\]'
FAILED_LINE='cannot output \[([^]]+)\]'

TIMEOUT=20          # seconds for one run
OCCURRENCES=6       # the first occurrences tried for each call, besides the last one

# ---- Command line ----------------------------------------------------------------------------
QOR=build/qor
KILL=1
NAMED_TEMPORARIES=0
for arg in "$@"; do
  case $arg in
    --quick) OCCURRENCES=1 KILL_AT=("${QUICK_KILL_AT[@]}") ;;
    --no-kill) KILL=0 ;;
    --named-temporaries) NAMED_TEMPORARIES=1 ;;
    -*) echo "usage: $0 [QOR_BINARY] [--quick] [--no-kill] [--named-temporaries]" >&2; exit 2 ;;
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

# ---- Scenario state --------------------------------------------------------------------------
NAME="" SETUP="" ARGS=() DESTS=() PIPE="" TEMPLATE="" CASE=""
declare -A KIND LINKED CLEAN_STATE TEMPLATE_SHA
declare -A BEFORE_META BEFORE_SHA AFTER_META AFTER_SHA
CLEAN_RC=

# Reads one table row into the scenario's globals.
parse_row() {
  local field name setup args dests
  IFS='|' read -r name setup args dests <<<"$1"
  NAME=${name//[[:space:]]/} SETUP=$setup
  read -ra ARGS <<<"$args"
  DESTS=() PIPE="" KIND=() LINKED=()
  for field in $dests; do
    local dest=${field%%[:=]*} kind=result
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
      fifo) mkfifo "$TEMPLATE/${words[1]}" ;;
      *) false ;;
    esac || die "$NAME: cannot make files: $step"
  done
  snapshot "$TEMPLATE" BEFORE
  TEMPLATE_SHA=()
  for step in "${!BEFORE_SHA[@]}"; do TEMPLATE_SHA[$step]=${BEFORE_SHA[$step]}; done
}

# snapshot FOLDER PREFIX: fills PREFIX_META[name]="type inode links mode size" for every entry
# of the folder and PREFIX_SHA[name] for its regular files (unless a third argument says the
# contents are known).
snapshot() {
  local -n meta=$2_META sha=$2_SHA
  local name rest sum
  meta=()
  while read -r name rest; do meta[$name]=$rest; done \
    < <(find "$1" -mindepth 1 -maxdepth 1 -printf '%P %y %i %n %m %s\n')
  [[ ${3:-} ]] && return
  sha=()
  while read -r sum name; do sha[$name]=$sum; done \
    < <(cd "$1" && find . -mindepth 1 -maxdepth 1 -type f -printf '%P\0' | xargs -0r sha256sum)
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
  (cd "$CASE/run" && TMPDIR=$CASE/tmp exec timeout -k 5 "$TIMEOUT" "$@" "$QOR" "${ARGS[@]}") \
    </dev/null >"$CASE/out" 2>"$CASE/err"
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
  local -A exempt=()
  ((rc >= 0 && rc <= 2)) && succeeded=1

  if ((rc == 124)); then broke+=("hung (stopped after ${TIMEOUT} s)")
  elif ((rc > 128 && rc < 254)) && ! [[ $fault == kill && $rc == 137 ]]; then
    broke+=("died of signal $((rc - 128))")
  fi
  ((succeeded && rc != CLEAN_RC)) && broke+=("exit $rc where the clean run gave $CLEAN_RC")

  # A failed write-through may keep the complete result elsewhere and say where: that file
  # must be the complete result; it is removed, and the destination is not judged.
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
        exempt[$d]=1
      fi
    done < <(cat "$CASE/out" "$CASE/err")
  fi

  snapshot "$CASE/run" AFTER

  # Every source as it was: content, inode, links, mode.
  for name in "${!BEFORE_META[@]}"; do
    [[ ${KIND[$name]:-} ]] && continue
    for d in "${DESTS[@]}"; do [[ ${LINKED[$d]:-} == "$name" ]] && continue 2; done
    [[ ${AFTER_META[$name]:-} == "${BEFORE_META[$name]}" && ${AFTER_SHA[$name]:-} == "${BEFORE_SHA[$name]:-}" ]] ||
      broke+=("source $name changed")
  done

  # Each destination: as before after a failure, the complete result after a success.
  local kind now old new ok
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
    [[ ${exempt[$d]:-} ]] && continue
    ok=0
    case $kind in
      picture) [[ $now == "$old" || $now == "$new" ]] && ok=1 ;;
      half) if ((succeeded)); then [[ $now == "$new" ]] && ok=1
            else [[ $now == "$old" || ($now == "$new" && ($fault == kill || $PLACING_CALLS == *" $fault "*)) ]] && ok=1
            fi ;;
      *) if ((succeeded)); then [[ $now == "$new" ]] && ok=1
         elif [[ $fault == kill ]]; then [[ $now == "$old" || $now == "$new" ]] && ok=1
         else [[ $now == "$old" ]] && ok=1
         fi ;;
    esac
    ((ok)) || broke+=("$d is $(describe "$now" "$old" "$new") after a $( ((succeeded)) && echo success || echo failure)")
  done

  # Nothing left behind: no new name in the folder, nothing in TMPDIR; after a kill, a build
  # with named temporaries may leave its own beside a destination.
  for name in "${!AFTER_META[@]}"; do
    [[ ${BEFORE_META[$name]:-} || ${KIND[$name]:-} ]] && continue
    if ((NAMED_TEMPORARIES)) && [[ $fault == kill && $name =~ ^\.(.+)\.qor-[0-9]+-[0-9]+$ && ${KIND[${BASH_REMATCH[1]}]:-} ]]; then
      rm -f "$CASE/run/$name"
      continue
    fi
    broke+=("left $name")
  done
  while read -r name; do broke+=("left $name in TMPDIR"); done < <(find "$CASE/tmp" -mindepth 1 -maxdepth 1 -printf '%P\n')

  ((${#broke[@]} == 0)) && return 0
  local joined
  joined=$(printf '%s; ' "${broke[@]}")
  echo "${joined%; }"
  return 1
}

# ---- Clean runs and the occurrences to fail --------------------------------------------------
# Reads a clean run's trace: prints "count CALL TOTAL" for each call made on the scenario's
# files, "syncs N", "mode MODE NAME" for files created with a mode, then "pick CALL N" for each
# occurrence to fail.
pick_occurrences() {
  awk -v run="$CASE/run" -v tmp="$CASE/tmp" -v first="$OCCURRENCES" '
    function inside(p) { return p == run || p == tmp || index(p, run "/") == 1 || index(p, tmp "/") == 1 }
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
    }' "$CASE/trace"
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

# The clean run: its results are what a successful run must leave.
clean_run() {
  fresh_case
  run_qor strace -f -qq -y -o "$CASE/trace" -e trace="$TRACED"
  ((RC >= 0 && RC <= 2)) || die "$NAME: the clean run failed (exit $RC): $(tail -n1 "$CASE/err")"
  CLEAN_RC=$RC
  snapshot "$CASE/run" AFTER
  CLEAN_STATE=()
  local d
  for d in "${DESTS[@]}"; do CLEAN_STATE[$d]=$(state_of AFTER "$d"); done
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
  local report picks=() notes=() kind call n counts=""
  report=$(pick_occurrences)
  while read -r kind call n; do
    case $kind in
      count) counts+=" $call $n," ;;
      pick) [[ ${ERRNO[$call]:-} ]] && picks+=("$call $n") ;;
      # A new file is not synced; one that replaces an existing file must be, or a power cut
      # could leave the name on an empty file: a clean run that does not counts as broken.
      syncs) if [[ $call == 0 && -z $PIPE && ($SETUP == *old* || " ${ARGS[*]} " == *" /W "*) ]]; then
          CLEAN_PROBLEMS=$((CLEAN_PROBLEMS + 1))
          echo "BROKEN $NAME clean run: no result synced before it replaces a file"
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

START=$SECONDS
for row in "${SCENARIOS[@]}"; do inject_scenario "$row"; done
if ((KILL)); then for row in "${KILL_SCENARIOS[@]}"; do kill_scenario "$row"; done; fi
((MISSED)) && echo "$MISSED planned faults were not reached (the run took another way); their runs were checked too"
((CLEAN_PROBLEMS)) && echo "$CLEAN_PROBLEMS clean runs broke the invariant"
echo "took $((SECONDS - START)) s"
echo "$FAULTS faults injected, $BROKEN broke the invariant"
((BROKEN == 0 && CLEAN_PROBLEMS == 0))
