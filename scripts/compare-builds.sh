#!/usr/bin/env bash
# Differential check for refactors: builds git revision REV and the working tree, runs both qor
# binaries over the same matrix of command lines on generated files, and compares for every case
# the exit code, standard output, the error stream and the files in the case's folder afterwards
# (names, types, modes, link targets and bytes). Prints one line per differing case with a short
# diff of what differs, then "N cases, M differ"; exits 0 only when no case differs.
#
#   scripts/compare-builds.sh REV [--keep] [--jobs N]
#   scripts/compare-builds.sh --binaries A B [--runner "CMD"] [--windows] [--keep] [--jobs N]
#
# REV is exported with `git archive` into a folder under /tmp and built there; the working tree
# is built in build-compare/. Both are Release builds of the targets qor and qor-makewave only.
# With --binaries nothing is built: the two given programs are compared (qor-makewave is taken
# from beside A, or from build/), B run through the runner CMD when given (split into words:
# "/usr/lib/wine/wine64" for a Windows build; the variables WINE* and HOME are passed to it).
# --windows says B is a Windows build: its standard output and error stream may end lines with
# CRLF (turned into LF before they are compared), the files' Unix permission bits are not
# compared, and the cases that need what Windows does not have (Unix users, permission bits,
# symbolic links, devices under /dev, file names that differ only in letter case) are left out,
# counted by reason at the end. --jobs N runs N cases at a time (1 by default), for a runner
# whose start takes long.
# The inputs are written by scripts/compare_inputs.py (and qor-makewave for two tone files).
# Each case runs once per binary in a fresh folder of its own holding copies of the inputs it
# names, with relative file names and LC_ALL=C.UTF-8, so the two runs print the same names.
# --keep leaves everything under /tmp for inspection and prints where.

# The matrix below splits its option lists into words on purpose.
# shellcheck disable=SC2086
set -euo pipefail

usage() {
  echo "usage: scripts/compare-builds.sh REV [--keep] [--jobs N]" >&2
  echo "       scripts/compare-builds.sh --binaries A B [--runner \"CMD\"] [--windows] [--keep] [--jobs N]" >&2
  exit 2
}
rev="" keep=0 bin_a="" bin_b="" runner=() windows=0 jobs=1
while (($#)); do
  case $1 in
    --keep) keep=1 ;;
    --binaries) (($# >= 3)) || usage; bin_a=$(realpath "$2"); bin_b=$(realpath "$3"); shift 2 ;;
    --runner) (($# >= 2)) || usage; read -ra runner <<<"$2"; shift ;;
    --windows) windows=1 ;;
    --jobs) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage; jobs=$2; shift ;;
    -*) usage ;;
    *) [[ -z $rev ]] || usage; rev=$1 ;;
  esac
  shift
done
[[ -n $rev || -n $bin_a ]] || usage
[[ -z $rev || -z $bin_a ]] || usage

repo=$(cd "$(dirname "$0")/.." && pwd)
if [[ -n $rev ]]; then
  sha=$(git -C "$repo" rev-parse --verify --quiet "$rev^{commit}") || { echo "compare-builds: no revision $rev" >&2; exit 2; }
  label_a="a: $rev" label_b="b: working tree"
else
  [[ -x $bin_a && -f $bin_b ]] || { echo "compare-builds: no program $bin_a or $bin_b" >&2; exit 2; }
  label_a="a: $bin_a" label_b="b: $bin_b"
fi
umask 022
root=$(mktemp -d /tmp/qorcmp.XXXXXX)
chmod 755 "$root"  # the cases run as nobody must reach the binaries and their folders
remove() { rm -rf "$@" 2>/dev/null || { chmod -R u+rwX "$@" 2>/dev/null; rm -rf "$@"; }; }
finish() {
  if ((keep)); then echo "compare-builds: kept $root" >&2; else remove "$root"; fi
}
trap finish EXIT
trap 'exit 130' INT TERM
started=$SECONDS
note() { echo "compare-builds: $*" >&2; }

# ---------------------------------------------------------------------------------------------
# Builds

build() {  # source folder, build folder, log file
  local targets=(qor)
  grep -q 'qor-makewave' "$1/CMakeLists.txt" && targets+=(qor-makewave)
  if ! { cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DQOR_TESTS=OFF &&
         cmake --build "$2" -j2 --target "${targets[@]}"; } >"$3" 2>&1; then
    tail -n 30 "$3" >&2
    note "build of $1 failed (log: $3)"
    keep=1
    exit 2
  fi
}
mkdir -p "$root/bin/a" "$root/bin/b"
if [[ -n $rev ]]; then
  note "building $rev (${sha:0:12}) in $root/rev-build"
  mkdir "$root/rev-src"
  git -C "$repo" archive "$sha" | tar -x -C "$root/rev-src"
  build "$root/rev-src" "$root/rev-build" "$root/rev-build.log"
  note "building the working tree in $repo/build-compare"
  build "$repo" "$repo/build-compare" "$root/tree-build.log"
  # Both binaries are called "qor" and found through PATH, so argv[0] is the same for both.
  cp "$root/rev-build/qor" "$root/bin/a/qor"
  cp "$repo/build-compare/qor" "$root/bin/b/qor"
  makewave=$root/rev-build/qor-makewave
  [[ -x $makewave ]] || makewave=$repo/build-compare/qor-makewave
else
  cp "$bin_a" "$root/bin/a/qor"
  # B keeps its extension (qor.exe), which a runner may need to recognise it.
  bin_b_name=qor
  [[ $bin_b != *.exe ]] || bin_b_name=qor.exe
  cp "$bin_b" "$root/bin/b/$bin_b_name"
  makewave=$(dirname "$bin_a")/qor-makewave
  [[ -x $makewave ]] || makewave=$repo/build/qor-makewave
  [[ -x $makewave ]] || { note "no qor-makewave beside $bin_a or in build/"; exit 2; }
fi

# ---------------------------------------------------------------------------------------------
# Inputs

in=$root/in
note "writing the inputs to $in"
python3 "$repo/scripts/compare_inputs.py" "$in"
"$makewave" "$in/mw16s.wav" 30.000023 2 16          # 1323001 steps, tones between silences
"$makewave" "$in/mw22.wav" 100.00007 1 16 22050     # 2205001 steps at 22050 Hz
declare -A steps
while read -r name n; do steps[${name%.wav}]=$n; done <"$in/steps.txt"

# ---------------------------------------------------------------------------------------------
# The matrix. add SETUP ARGS...: ARGS is the qor command line (words without blanks); every
# argument that names a file in $in is copied into the case's folder first. SETUP is "-" or a
# comma-separated list of: exist=FILE (a file of that name is there already, mode 640),
# copy=SRC:DST (an input copied under another name), ro=DIR (a folder without write permission),
# open (the case folder is writable by everyone), noread=FILE (mode 000), mode=FILE:MODE,
# link=NAME:TARGET (a symbolic link to an existing file), dir=NAME (a folder of that name),
# nobody (run as the user nobody), lc=LOCALE (instead of C.UTF-8), posix=REASON (left out of a
# run against a Windows build, for the reason named in the table below; nobody, link, noread and
# mode leave a case out by themselves).

# Why a case is left out of a run against a Windows build.
declare -A left_out_reasons=(
  [user]="runs as the Unix user nobody"
  [link]="a symbolic link"
  [mode]="Unix permission bits (mode=, noread=): only a read-only attribute on Windows"
  [device]="a device under /dev"
  [case]="a name that differs from the file's only in letter case, which Windows file systems ignore"
)

setups=() commands=()
add() { setups+=("$1"); shift; commands+=("$*"); }

# The runs get a clean environment whose PATH may lack sbin: the tool is called by its full path.
as_nobody=()
if [[ $(id -u) == 0 ]]; then
  if tool=$(command -v setpriv) && "$tool" --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null; then
    as_nobody=("$tool" --reuid=nobody --regid=nogroup --clear-groups)
  elif tool=$(command -v runuser) && "$tool" -u nobody -- true 2>/dev/null; then
    as_nobody=("$tool" -u nobody --)
  fi
fi
((${#as_nobody[@]})) || note "neither setpriv nor runuser usable as root: the cases run as nobody are skipped"
add_nobody() { ((${#as_nobody[@]} == 0)) || add "$@"; }

mono16="m16 pad16m4 padbyte chunks fact16 factafter trailer loud16m few32 few33 zero16 oneloud odddata m16b m16_22k"
stereo16="s16 pad16s6 fmt18 twodata loud16s quiet16 oneside tiny16s s16b s16r s16_8k"
mono8="m8 pad8m2 loud8m quiet8 tiny8m m8b"
stereo8="s8 s8b fact8 riffsz"
malformed="factbad notriff notwave empty cut6 cut10 cut30 cut40 cut42 overrun overrun8 negsize negsize2
  fmtneg zerostep onebyte nofmt datafirst nodata align0 fmtshort float ext pcm24 ch3 bits12"
# One file of each layout the operations treat differently.
kinds="m16 s16 m8 s8 pad16s6 pad16m4 pad8m2 fmt18 twodata chunks padbyte fact16 tiny16s tiny8m odddata riffsz"
single="boost max add reverse back l2mono r2mono lrmono ccancel lrsprit vcompress inssilent cut head
  convert sb8convert lofi"
declare -A base=([boost]=/m2 [add]=/v100 [inssilent]=/L100 [cut]=/L100 [head]=/L100 [convert]=/f22050)

# Analysis of every file, valid or not.
for f in $mono16 $stereo16 $mono8 $stereo8 $malformed; do
  add - info $f.wav
  add - ask /RC $f.wav
done
for f in m16 s16 m8 pad16s6; do
  for o in /V "/V /m2" /RC /RB /G /g-10 /G500 /t0 /t65636 /t-5 /2 /D; do add - info $o $f.wav; done
  for o in /RB "/V /m3" "/V /m0" /D /S; do add - ask $o $f.wav; done
done
add - info /S /RB s16.wav
add - info /g /V oneside.wav
for f in overrun negsize cut40 nodata; do add - info /V $f.wav; add - ask /V $f.wav; done

# Every one-source operation on each kind of file: the refusals are part of the matrix. The
# malformed files through an operation and as a second source.
for op in $single; do
  for f in $kinds; do add - $op ${base[$op]:-} $f.wav out.wav; done
done
for f in $malformed; do
  add - boost /m2 $f.wav out.wav
  add - mix s16.wav $f.wav out.wav
done

# Options of each operation.
for f in m16 s16 m8; do
  for o in "" /m-3 /m0 /m1 /m-1 /m300 /M1.5 /M0.3 /M-1 /B-6 /B6 /B60 /B-60 /B48.05 "/B-6 /m3" "/m3 /B-6"; do
    add - boost $o $f.wav out.wav
  done
done
for f in loud16s loud16m loud8m few32 few33; do
  for o in /m2 "/m2 /F" /M1.9 /B6 "/B6 /F"; do add - boost $o $f.wav out.wav; done
done
for f in m16 s8 loud16s quiet16 zero16; do
  for o in "" /m2 /M2; do add - max $o $f.wav out.wav; done
done
for f in m16 s16 m8 loud16s; do
  for o in "" /v-100 /v-40000 /v20000 "/v20000 /F" "/v-40000 /F"; do add - add $o $f.wav out.wav; done
done
for f in loud16m loud8m m16 s8; do add - reverse $f.wav out.wav; add - reverse /F $f.wav out.wav; done
for f in m16 s16 m8; do
  n=${steps[$f]}
  for L in "" 0 1 -1 -100 $((n - 1)) $((n)) $((n + 1)) -$((n - 1)) -$((n)) -$((n + 1)) -$((5 * n)) \
    -2147483648 2147483647; do
    for op in inssilent cut head; do add - $op ${L:+/L$L} $f.wav out.wav; done
  done
done
for f in tiny16s tiny8m; do
  for L in 0 1 -1 2 -2; do for op in inssilent cut head; do add - $op /L$L $f.wav out.wav; done; done
done
for op in l2mono r2mono lrmono ccancel lrsprit; do
  add - $op loud16s.wav out.wav
  add - $op /F loud16s.wav out.wav
  add - $op oneside.wav out.wav
  add - $op /N s16.wav out.wav
  add - $op /G s16.wav out.wav
  add - $op "/N /8" s8.wav out.wav
done
for f in m16 s16 loud16s; do
  for o in "" /t1000 /M0.3 "/t1000 /M0.3" "/t5000 /M0.5" /M2 "/t0 /M0.5" "/M2 /F" /M-1 "/t20000 /M0.1"; do
    add - vcompress $o $f.wav out.wav
  done
done
for o in "" /t10 "/t10 /M0.5"; do add - vcompress $o m8.wav out.wav; done
for f in s16 loud16s; do for o in /N "/N /8" /8; do add - sb8convert $o $f.wav out.wav; done; done
for f in m16 s16 m16_22k s16_8k; do
  for o in "" /f44100 /f8000 /f3675 /f11025 /f50000 /f3000 "/b8 /f22050" "/f22050 /N"; do add - convert $o $f.wav out.wav; done
done
for f in pad16s6 tiny16s; do for o in /f44100 /f8000 /f3675; do add - convert $o $f.wav out.wav; done; done
for f in m16 s16 m16_22k loud16s; do
  for o in /b8 /f22050 /f44100 "/b8 /f22050" /b1 /b16 /b20 /b0 /f3000 /f3675 "/b12 /f8000"; do
    add - lofi $o $f.wav out.wav
  done
done

# Options every operation reads: naked output, pictures, log levels, overwriting.
for op in $single; do
  for o in /N /G500 /g-10 /S /D /V "/V /m2" /W /x; do add - $op ${base[$op]:-} $o s16.wav out.wav; done
  add - $op ${base[$op]:-} /W s16.wav
  add - $op ${base[$op]:-} /N s16.wav o   # "o" becomes o.WAV, then o.PHL
  for o in /N "/N /8" /W; do add - $op ${base[$op]:-} $o m8.wav out.wav; done
  add - $op ${base[$op]:-} "/N /8" m8.wav out.raw
done

# Two sources.
for p in s16:s16b s16b:s16 m16:m16b m16b:m16 s16:loud16s pad16s6:s16; do
  for o in "" /T /2 /t500 /t0 "/2 /T" /V /D /S; do add - compare $o ${p%:*}.wav ${p#*:}.wav; done
done
for p in s16:s16 m8:m8b s8:s8b s16:s16r s16:m16 m8:m16 s16:quiet16 quiet16:s16 s16:pad16s6 m16:zero16 \
  oneside:s16 s16:oneside tiny16s:s16 s16:tiny16s twodata:s16; do
  add - compare ${p%:*}.wav ${p#*:}.wav
done
for op in mix subtract; do
  for p in s16:s16b s16b:s16 m16:m16b s16:loud16s; do
    for o in "" /O100 /O-100 /O5000 /O-5000 /o50 /o-50 "/O10 /o20" /T "/T /o10" /2 /t500 /V /F /W /N /G \
      /O-2147483648; do
      add - $op $o ${p%:*}.wav ${p#*:}.wav out.wav
    done
  done
  for p in m16b:m16 pad16s6:s16 s16:pad16s6 s16:s16 loud16s:loud16s m8:m8b s16:s16r s16:m16 s16:quiet16 \
    oneside:s16 tiny16s:s16 s16:tiny16s fmt18:s16 twodata:s16; do
    add - $op ${p%:*}.wav ${p#*:}.wav out.wav
  done
done
for p in m16:m16b m16b:m16; do
  for o in "" /O100 /O-100 /O5000 /o50 /o-50 /T /2 /t500 /W /N /G; do add - lrcombine $o ${p%:*}.wav ${p#*:}.wav out.wav; done
done
for p in m8:m8b pad16m4:m16 m16:pad16m4 s16:s16b m16:s16 m16:m16_22k m16:zero16 zero16:m16 few32:m16 m16:m8 \
  tiny8m:m8 m8:tiny8m pad8m2:m8; do
  add - lrcombine ${p%:*}.wav ${p#*:}.wav out.wav
done
for p in m16:m16b s16:s16b m8:m8b s8:s8b; do
  for o in "" /L0 /L100 /L-50 /L44100 /L-2147483648 /W "/N /8"; do add - combine $o ${p%:*}.wav ${p#*:}.wav out.wav; done
done
for p in pad16s6:s16 s16:pad16s6 s16:m16 m8:m16 tiny16s:s16 tiny8m:m8b s16:s16r quiet8:m8 twodata:s16 fmt18:s16; do
  add - combine /L10 ${p%:*}.wav ${p#*:}.wav out.wav
done

# Command lines as such: usage text, unknown words and options, too few and too many names.
add - ""
add lc=C ""
add lc=C foo m16.wav
add - foo m16.wav
add - /D info m16.wav
add - noisecut m16.wav out.wav
add - importnaked m16.wav out.wav
for op in info ask compare mix boost lrsprit combine lrcombine; do
  add - $op
  add - $op m16.wav
done
add - mix s16.wav s16b.wav
add - mix /W s16.wav s16b.wav
add - info a b c d e f g h i
add - boost /m2 m16.wav b c d e f g out.wav
add - MIX s16.wav s16b.wav out.wav
add - InFo m16.wav
add - boost m16.wav /m2 out.wav
add - boost m16.wav out.wav /m2
add - boost -m2 m16.wav out.wav
add posix=case boost /m2 m16 out
add - boost /m2 m16.wave out
add copy=m16.wav:IN.WAV boost /m2 IN out
add copy=m16.wav:take.wave.WAV boost /m2 take.wave out
add copy=m16.wav:a%sb%d.wav boost /m2 a%sb%d.wav out%d.wav
add - boost /m2 m%d.wav out.wav
add - info missing.wav
add - boost /m2 missing.wav out.wav
add - mix s16.wav missing.wav out.wav
add - compare missing.wav s16.wav
for o in / - /RC:ch /Rb /R /Rx /t:5 /L12ab /m /Wx /s /-riff /B /M /v /G0 /g0 /b0 /f0 /m-0 "/D /S" "/S /D" \
  "/t100 /S" "/S /t100" /V5 /v5; do
  add - info $o m16.wav
  add - boost /m2 $o s16.wav out.wav
done

# Destinations: a missing folder, a folder without write permission (as root and as nobody),
# files that are replaced, a link, a folder in the way, a device, long names.
for c in "boost /m2 m16.wav" "lrsprit s16.wav" "boost /N /m2 m16.wav" "boost /G /m2 m16.wav" "mix s16.wav s16b.wav"; do
  add - $c nodir/out.wav
  add ro=rodir $c rodir/out.wav
  add_nobody nobody,ro=rodir $c rodir/out.wav
  add_nobody nobody,open $c out.wav
  add exist=out.wav $c out.wav
  add link=out.wav:target.wav $c out.wav
  add dir=out.wav $c out.wav
done
add_nobody nobody boost /m2 m16.wav out.wav   # the case folder itself is not writable for nobody
add_nobody nobody,open,noread=m16.wav boost /m2 m16.wav out.wav
add_nobody nobody,open,noread=s16b.wav mix s16.wav s16b.wav out.wav
add_nobody nobody,open,exist=out.wav,mode=out.wav:444 boost /m2 m16.wav out.wav
add_nobody nobody,open,mode=m16.wav:444 boost /W /m2 m16.wav
add exist=out.PHL boost /N /m2 m16.wav out.wav
add exist=out_Lch.wav,exist=out_Rch.wav lrsprit s16.wav out.wav
add exist=out.BMP boost /G /m2 m16.wav out.wav
add exist=m16.BMP info /G m16.wav
add mode=m16.wav:600 boost /W /m2 m16.wav
add exist=out.wav,mode=out.wav:604 boost /m2 m16.wav out.wav
add posix=device boost /m2 m16.wav /dev/null
add posix=device boost /N /m2 m16.wav /dev/null
long=$(printf 'n%.0s' {1..246})
add - boost /m2 m16.wav $long.wav
add - boost /m2 m16.wav ${long}xxxxxx.wav
add - lrsprit s16.wav $long.wav

# Large files: the data ends inside a block of about 1 MiB, the step counts are odd, and three
# files hold 1 MiB of data exactly and one step more or less.
for f in big16s big16sb big16m big8m bigpad6 e1m e1mp e1mm mw16s mw22; do add - info $f.wav; done
for f in big16s big8m bigpad6 e1m e1mp e1mm; do add - back $f.wav out.wav; add - boost /B-6 $f.wav out.wav; done
for f in big16s big8m; do add - ask /V $f.wav; done
add - max big16s.wav out.wav
for f in big16s bigpad6; do
  add - sb8convert $f.wav out.wav
  for op in l2mono r2mono lrmono ccancel lrsprit; do add - $op $f.wav out.wav; done
done
add - lrmono /F big16s.wav out.wav
add - ccancel /F big16s.wav out.wav
add - lrsprit e1m.wav out.wav
add - lrmono e1mp.wav out.wav
for f in big16s big8m bigpad6 e1mm; do
  add - boost /m2 $f.wav out.wav
  add - boost /m2 /F $f.wav out.wav
  add - add /v100 $f.wav out.wav
  add - vcompress /t1000 /M0.3 $f.wav out.wav
  add - head /L700001 $f.wav out.wav
  add - head /L-262145 $f.wav out.wav
  add - cut /L300007 $f.wav out.wav
  add - inssilent /L-99999 $f.wav out.wav
done
add - boost /m-3 big16m.wav out.wav
add - reverse big16m.wav out.wav
add - add /v-40000 /F big16m.wav out.wav
add - boost /M1.5 /F mw16s.wav out.wav
add - inssilent /L262144 e1mp.wav out.wav
for o in "" /f8000 "/b8 /f22050"; do add - convert $o big16s.wav out.wav; add - lofi $o big16s.wav out.wav; done
for o in "" /f44100; do add - convert $o mw22.wav out.wav; add - lofi $o mw22.wav out.wav; done
add - convert bigpad6.wav out.wav
add - lofi bigpad6.wav out.wav
for o in "" /F /T /O-300000 /o-7; do add - mix $o big16s.wav big16sb.wav out.wav; done
for o in "" /O300001; do add - subtract $o big16sb.wav big16s.wav out.wav; done
add - compare big16s.wav big16sb.wav
add - compare /T mw16s.wav big16s.wav
add - mix e1m.wav e1mp.wav out.wav
add - mix e1mp.wav e1mm.wav out.wav
add - combine /L1000 big16s.wav big16sb.wav out.wav
add - combine /L-1 e1mm.wav e1m.wav out.wav
add - combine big8m.wav big8m.wav out.wav
add - lrcombine big16m.wav big16m.wav out.wav
add - lrcombine /O1000001 big16m.wav big16m.wav out.wav
add - info /G big16s.wav
add - boost /g /m2 /F big16s.wav out.wav
add - boost /N /m2 /F big16s.wav out.wav
add - sb8convert /N /8 big16s.wav out.wav
add - boost /W /B-3 big16s.wav
add - lrsprit /N bigpad6.wav out.wav

# Every operation on sources of three blocks and part of a fourth: 16-bit mono, stereo and padded
# stereo, 8-bit stereo and mono (which the 16-bit operations refuse); two sources in pairs of them.
for f in l16m l16s p6s l8s; do add - info $f.wav; add - ask /V $f.wav; done
for f in l16m l16s p6s l8s big8m; do
  for op in $single; do add - $op ${base[$op]:-} $f.wav out.wav; done
done
for p in l16s:big16sb big16sb:l16s p6s:l16s l16s:p6s; do
  add - compare ${p%:*}.wav ${p#*:}.wav
  for op in mix subtract combine; do add - $op ${p%:*}.wav ${p#*:}.wav out.wav; done
done
add - lrcombine l16m.wav big16m.wav out.wav
add - lrcombine big8m.wav big8m.wav out.wav
add - compare /T l8s.wav l8s.wav
add - combine /L-1 l8s.wav l8s.wav out.wav
# Each file's peak is its only extreme, on the last step of a block or of the file: max scales by
# another factor when the walk over the extremes misses it.
for f in l16m p8s bigpad6; do add - max $f.wav out.wav; done
add - max /F p8s.wav out.wav

# Dumps of more than 64 KiB of data (e1mp's across a block), and border windows of up to
# 14 x 256 steps, which start 2 x /m steps before the sound or at its start.
for f in w16s22 mid8m midpad6 e1mp; do add - info /V $f.wav; done
for m in "" 0 1 -1 255 256 257 2147483647 -2147483648; do
  add - ask /V /m$m w16s22.wav
  add - ask /V /m$m l16s.wav
done
add - ask /V /m150 s16.wav  # s16's sound starts at step 300: the window starts at step 0
add - ask /V /m151 s16.wav
add - back /V /m256 p6s.wav out.wav
add - compare /V /m300 l16s.wav big16sb.wav
add - info /V /m300 midpad6.wav
add - boost /V /m256 /F l16s.wav out.wav

# Warnings, under /S (which hides them, on either side of the option that causes them) and /D
# (which sends every line to the error stream).
warners=("boost /m2 /F loud16s.wav out.wav" "boost /m257 /F m16.wav out.wav" "boost /B48.2 m16.wav out.wav"
  "boost /B-60 m16.wav out.wav" "lofi /b0 /f44101 s16.wav out.wav" "convert /f3674 s16.wav out.wav"
  "info /Q m16.wav" "mix /F loud16s.wav loud16s.wav out.wav" "lrmono /F loud16s.wav out.wav"
  "add /v20000 /F m16.wav out.wav" "ask /D /m300 m16.wav")
for c in "${warners[@]}"; do
  for o in "" /S /D "/D /S" "/S /D"; do
    add - ${c%% *} $o ${c#* }
    [[ -z $o ]] || add - $c $o
  done
done
for o in "" /S /D; do add dir=out.BMP boost /G $o /m2 m16.wav out.wav; done  # the picture cannot be written

# Each numeric option at and just past its limits, with the operations that read it.
for m in "" 0 1 -1 255 256 257 65535 65536 65537 2147483647 99999999999 -32768 -65536 -2147483647 \
  -2147483648 -99999999999; do
  add - boost /m$m /F m16.wav out.wav
done
for M in 0 -0 1 -1 0.99999 1.00001 65536 1e300 1e309 -1e309 1e-320 .5 5. 1e +3 x; do
  add - boost /M$M /F m16.wav out.wav
  add - vcompress /M$M /t1000 s16.wav out.wav
done
for B in 0 48.1 48.10001 -48.1 -48.10001 1e309; do add - boost /B$B /F m16.wav out.wav; done
for v in 0 1 -1 32767 32768 -32768 -32769 65535 65536 65537 -65536 -65537 2147483647 -2147483648; do
  add - add /v$v /F m16.wav out.wav
done
for t in 0 1 -1 1023 1024 1025 32767 32768 65535 65536 66560 2147483647 -2147483648; do
  add - info /t$t m16.wav
  add - compare /t$t s16.wav s16b.wav
  add - mix /t$t s16.wav s16b.wav out.wav
  add - vcompress /t$t /M0.5 s16.wav out.wav
done
for t in 15 16 17 127 128 255 256 272; do add - info /t$t m8.wav; done
for f in l16s:4 l8s:2; do  # file:bytes per step
  n=${steps[${f%:*}]} b=$((2 ** 20 / ${f#*:}))  # b: steps per block
  f=${f%:*}
  for L in 0 1 -1 $((n - 1)) $n $((n + 1)) -$((n - 1)) -$n -$((n + 1)) $((b - 1)) $b $((b + 1)) -$b; do
    for op in inssilent cut head; do add - $op /L$L $f.wav out.wav; done
  done
done
for L in 65535 65536 65537 131073 -65536 -65537; do add - inssilent /L$L m16.wav out.wav; done
for L in 1 -1 65536 65537 2147483647; do add - combine /L$L s16.wav s16b.wav out.wav; done
for O in 0 1 -1 2999 3000 -3499 -3500 -3501 2147483647 -2147483647; do
  add - mix /O$O s16.wav s16b.wav out.wav
  add - lrcombine /O$O m16.wav m16b.wav out.wav
done
for o in 0 1 -1 2999 -3500 2147483647 -2147483648; do add - subtract /o$o s16.wav s16b.wav out.wav; done
# Source 2 with one step in a block of the result: its first step ends block 0, its last step is
# all of block 1.
for O in 262143 258645; do add - mix /O$O s16.wav s16b.wav out.wav; done
# Sums, differences and gains that land on the ends of the range exactly.
for c in "lrmono full16s.wav" "ccancel full16s.wav" "boost /m1 full16s.wav" "boost /m-1 full16s.wav" \
  "boost /m-2 loud16m.wav" "mix /O3000 s16.wav full16s.wav" "mix /O1501 pad16s6.wav full16s.wav"; do
  add - $c out.wav
done
for O in 262144 -262145 825000 825001; do add - mix /O$O l16s.wav big16sb.wav out.wav; done
for b in 0 1 16 17; do
  for f in s16 l16s; do add - lofi /b$b $f.wav out.wav; done
  add - convert /b$b s16.wav out.wav
done
for f in 3674 3675 44100 44101; do
  for src in s16 w16s22; do add - lofi /f$f $src.wav out.wav; add - convert /f$f $src.wav out.wav; done
done
# lofi and convert at and above the source's rate on more than 64 KiB of stereo data.
for o in /f22050 /f22051 "/b1 /f30000"; do add - lofi $o w16s22.wav out.wav; add - convert $o w16s22.wav out.wav; done
for f in l16s p6s; do add - lofi /f44100 $f.wav out.wav; add - convert /f44100 $f.wav out.wav; done
for G in 0 1 -1 2147483647 99999999999 -2147483647 -2147483648; do
  for o in /G$G /g$G; do
    add - info $o m16.wav
    add - boost /m2 $o s16.wav out.wav
    add - lrsprit $o s16.wav out.wav
  done
done

# ---------------------------------------------------------------------------------------------
# Running and comparing

# Runs case $2 with the binary of side $1 (a: REV, b: working tree) in $root/$1/$2/w; keeps the
# exit code, the two streams and the folder listing beside it (and the command line, for --keep).
# A run gets 60 s of processor time.
run_side() {
  local side=$1 i=$2 d=$root/$1/$2 arg item locale=C.UTF-8 files=() items=() pre=()
  local -a args
  local -A seen=()
  read -ra args <<<"${commands[i]}"
  printf 'qor %s\nsetup: %s\n' "${commands[i]}" "${setups[i]}" >"$d/cmd"  # for --keep
  for arg in "${args[@]}"; do
    [[ $arg == */* || ! -f $in/$arg || -n ${seen[$arg]:-} ]] || files+=("$in/$arg")
    seen[$arg]=1
  done
  ((${#files[@]} == 0)) || cp "${files[@]}" "$d/w/"
  [[ ${setups[i]} == - ]] || IFS=, read -ra items <<<"${setups[i]}"
  for item in "${items[@]}"; do
    case $item in
      exist=*) printf 'an older result\n' >"$d/w/${item#*=}"; chmod 640 "$d/w/${item#*=}" ;;
      copy=*) item=${item#*=}; cp "$in/${item%%:*}" "$d/w/${item#*:}" ;;
      ro=*) mkdir "$d/w/${item#*=}"; chmod 555 "$d/w/${item#*=}" ;;
      open) chmod 777 "$d/w" ;;
      noread=*) chmod 000 "$d/w/${item#*=}" ;;
      mode=*) item=${item#*=}; chmod "${item#*:}" "$d/w/${item%%:*}" ;;
      link=*) item=${item#*=}; printf 'the link target\n' >"$d/w/${item#*:}"; ln -s "${item#*:}" "$d/w/${item%%:*}" ;;
      dir=*) mkdir "$d/w/${item#*=}" ;;
      nobody) pre=("${as_nobody[@]}") ;;
      lc=*) locale=${item#*=} ;;
      # A case that names a device runs as nobody when it can: a build that took /dev/null for
      # a folder to write a file in cannot leave one under /dev for later runs to find.
      posix=device) pre=("${as_nobody[@]}") ;;
      posix=*) ;;
      *) note "unknown setup $item"; exit 2 ;;
    esac
  done
  local rc=0 launch=(qor) passed=()
  if [[ $side == b && -n $bin_b ]]; then
    launch=("${runner[@]}" "$root/bin/b/$bin_b_name")
    # The runner's own variables (a Wine prefix, its debug channels) and HOME.
    passed=(HOME="${HOME:-/root}")
    while IFS= read -r item; do passed+=("$item"); done < <(env | grep '^WINE' || true)
  fi
  (cd "$d/w" && ulimit -t 60 && exec env -i PATH="$root/bin/$side:/usr/bin:/bin" LC_ALL="$locale" "${passed[@]}" \
    "${pre[@]}" "${launch[@]}" "${args[@]}" <"/dev/null" >"$d/out" 2>"$d/err") || rc=$?
  echo "$rc" >"$d/rc"
  if ((windows)); then
    # Text lines end in CRLF on Windows; the permission bits are not compared.
    [[ $side == a ]] || sed -i 's/\r$//' "$d/out" "$d/err"
    find "$d/w" -mindepth 1 -printf '%P\t%y\t%s\t%l\n' | LC_ALL=C sort >"$d/ls"
  else
    find "$d/w" -mindepth 1 -printf '%P\t%y\t%m\t%s\t%l\n' | LC_ALL=C sort >"$d/ls"
  fi
}

# The reason case $1 is left out of a run against a Windows build, or nothing.
left_out() {
  local item items=()
  [[ ${setups[$1]} == - ]] || IFS=, read -ra items <<<"${setups[$1]}"
  for item in "${items[@]}"; do
    case $item in
      nobody) echo user; return ;;
      link=*) echo link; return ;;
      mode=* | noread=*) echo mode; return ;;
      posix=*) echo "${item#*=}"; return ;;
    esac
  done
}

# The first lines of a unified diff of two files, indented.
excerpt() {
  diff -U2 --label "$label_a" --label "$label_b" "$1" "$2" | sed -n '3,16p' | sed 's/^/      /' || true
}

# Reports case $1, whose two sides differ.
report() {
  local i=$1 A=$root/a/$1 B=$root/b/$1 what=() details="" s name type label
  local rca rcb
  rca=$(<"$A/rc") rcb=$(<"$B/rc")
  [[ $rca == "$rcb" ]] || what+=("exit code $rca vs $rcb")
  for s in out err; do
    label=$([[ $s == out ]] && echo stdout || echo stderr)
    if ! cmp -s "$A/$s" "$B/$s"; then
      what+=("$label")
      details+="    $label:"$'\n'"$(excerpt "$A/$s" "$B/$s")"$'\n'
    fi
  done
  if ! cmp -s "$A/ls" "$B/ls"; then
    what+=("files in the folder")
    details+="    files (name, type,$( ((windows)) || echo ' mode,') size, link):"$'\n'"$(excerpt "$A/ls" "$B/ls")"$'\n'
  fi
  if grep -qE '\.qor-[0-9]+-[0-9]+'$'\t' "$A/ls" "$B/ls"; then what+=("temporary file left behind"); fi
  local first
  while IFS=$'\t' read -r name type _; do
    [[ $type == f && -f $B/w/$name ]] || continue
    cmp -s "$A/w/$name" "$B/w/$name" && continue
    first=$(cmp "$A/w/$name" "$B/w/$name" 2>&1 | head -n 1 || true)
    if [[ $first =~ differ:\ byte\ ([0-9]+) ]]; then
      first="first difference at offset $((BASH_REMATCH[1] - 1))"
    else
      first="the shorter is the start of the longer"
    fi
    what+=("file $name ($(stat -c %s "$A/w/$name") vs $(stat -c %s "$B/w/$name") bytes, $first)")
  done <"$A/ls"
  ((${#what[@]})) || what+=("contents")
  local setup=""
  [[ ${setups[i]} == - ]] || setup=" [${setups[i]}]"
  local joined=${what[0]} k
  for ((k = 1; k < ${#what[@]}; k++)); do joined+="; ${what[k]}"; done
  printf 'DIFF case %s: qor %s%s: %s\n' "$i" "${commands[i]}" "$setup" "$joined"
  printf '%s' "$details"
}

total=${#commands[@]}
note "running $total cases with both binaries"
cases_started=$SECONDS
mkdir "$root/a" "$root/b"
differ=0 done_cases=() rerun_agreed=()
declare -A left_out_count=()
# Runs case $1 with both binaries, at the same time: they share nothing but the inputs they copy.
run_case() {
  mkdir -p "$root/a/$1/w" "$root/b/$1/w"
  run_side a "$1" &
  local side_a=$!
  run_side b "$1" &
  wait "$side_a" && wait $!
}
# The cases go in groups of $jobs run at once, then compared in order.
for ((start = 0; start < total; start += jobs)); do
  group=() pids=()
  for ((i = start; i < start + jobs && i < total; i++)); do
    if ((windows)); then
      reason=$(left_out "$i")
      if [[ -n $reason ]]; then
        left_out_count[$reason]=$((${left_out_count[$reason]:-0} + 1))
        continue
      fi
    fi
    run_case "$i" &
    pids+=($!) group+=("$i")
  done
  for pid in "${pids[@]}"; do wait "$pid" || exit 2; done
  for i in "${group[@]}"; do
    same=0
    diff -rq --no-dereference "$root/a/$i" "$root/b/$i" >/dev/null 2>&1 && same=1
    # A run through a runner (Wine) can lose a start when many run at once: a case that differs
    # there runs once more on its own, and is named below when only that run agreed.
    if ((!same && ${#runner[@]})); then
      remove "$root/a/$i" "$root/b/$i"
      run_case "$i" || exit 2
      if diff -rq --no-dereference "$root/a/$i" "$root/b/$i" >/dev/null 2>&1; then
        same=1
        rerun_agreed+=("$i")
      fi
    fi
    if ((same)); then
      done_cases+=("$root/a/$i" "$root/b/$i")
    else
      report "$i"
      differ=$((differ + 1))
    fi
  done
  # Folders of equal cases go in batches: one removal per case would cost more than the case.
  if ((!keep && (${#done_cases[@]} >= 100 || start + jobs >= total))) && ((${#done_cases[@]})); then
    remove "${done_cases[@]}"
    done_cases=()
  fi
done
skipped=0
for reason in "${!left_out_count[@]}"; do
  echo "left out: ${left_out_count[$reason]} cases, ${left_out_reasons[$reason]}"
  skipped=$((skipped + left_out_count[$reason]))
done
for i in "${rerun_agreed[@]}"; do
  echo "agreed only when run again on its own (through the runner): case $i: qor ${commands[i]}"
done
ran=$((total - skipped))
note "$ran cases run in $((SECONDS - cases_started)) s, $((SECONDS - started)) s with the builds and inputs"
if ((skipped)); then
  echo "$ran cases, $differ differ ($skipped left out)"
else
  echo "$ran cases, $differ differ"
fi
((differ == 0))
