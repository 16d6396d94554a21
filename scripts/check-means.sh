#!/usr/bin/env bash
# Checks that the means `info` prints are the running chains' to the last digit and sign, when
# they are settled from exact sums instead of running the chains, and wherever the chains run:
# in a second pass after the read, or on a thread beside it.
#
# Builds qor and qor-meancheck in build/ (Release), writes a corpus of WAVE files (silence,
# alternating +-A with mean exactly 0, one loud step among zeros with means exactly 0.0005,
# constant offsets from 1 to 32767 with small noise over millions of steps, 8-bit files, stereo
# with one silent channel, padded steps, a tone, and one file long and loud enough for qor to run
# its chains beside the read), and for each file compares the "Avg/" lines of `qor info` with
# those of qor forced onto the chains in a second pass (`qor-meancheck chain info`), counting the
# means the chains had to settle (`qor-meancheck count info`); the same again with the chains
# forced onto the thread beside the read (`chain-beside`, `count-beside`: every thread must have
# started, and given its chains or been stopped unused). The long file must have its chains
# beside the read on a machine of more than one processor, and in a second pass when no thread
# can be started (`ulimit -u 1`, under an unused user id when run as root, whom the limit does
# not bind). Then runs the in-process comparison on random short signals near the edges of the
# printed digits (`qor-meancheck near-edges`).
#
#   scripts/check-means.sh [signals]    (default 100000 near-edge signals)
#
# Prints a line per file and the totals; exits 0 only when every line agrees.
set -euo pipefail
cd "$(dirname "$0")/.."
signals=${1:-100000}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target qor qor-meancheck >/dev/null
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/corpus"
build/qor-meancheck corpus "$dir/corpus"

means() { grep '] Avg/' || true; }
# "means: X from the sums, Y from the chain; chains: B beside the read, S stopped unused, P in a
# second pass" -> "X Y B S P"
counts() { sed -E 's/[^0-9]+/ /g; s/^ //; s/ $//' "$1"; }
# Runs a command unable to start a thread.
without_threads() {
  if [ "$(id -u)" = 0 ]; then
    setpriv --reuid=54321 --regid=54321 --clear-groups -- bash -c 'ulimit -u 1 && exec "$@"' _ "$@"
  else
    bash -c 'ulimit -u 1 && exec "$@"' _ "$@"
  fi
}
files=0
total=0
chained=0
failures=0
for file in "$dir"/corpus/*.wav; do
  name=$(basename "$file" .wav)
  shown=$(build/qor info "$file" | means)
  counted=$(build/qor-meancheck count info "$file" 2>"$dir/count" | means)
  chain=$(build/qor-meancheck chain info "$file" | means)
  beside=$(build/qor-meancheck chain-beside info "$file" | means)
  counted_beside=$(build/qor-meancheck count-beside info "$file" 2>"$dir/count-beside" | means)
  read -r sums chains _ _ _ <<<"$(counts "$dir/count")"
  read -r _ _ used stopped second <<<"$(counts "$dir/count-beside")"
  files=$((files + 1))
  total=$((total + sums + chains))
  chained=$((chained + chains))
  if [ -z "$chain" ] || [ "$shown" != "$chain" ] || [ "$counted" != "$chain" ] || [ "$beside" != "$chain" ] ||
      [ "$counted_beside" != "$chain" ]; then
    failures=$((failures + 1))
    echo "DIFFER: $name"
    for other in "$shown" "$counted" "$beside" "$counted_beside"; do
      diff <(echo "$chain") <(echo "$other") | sed 's/^/  /' || true
    done
  elif [ "$((used + stopped))" != 1 ] || [ "$second" != 0 ]; then
    failures=$((failures + 1))
    echo "NOT BESIDE: $name: the chains started beside the read did not run there ($(cat "$dir/count-beside"))"
  else
    echo "$name: $((sums + chains)) means, $chains from the chain, agree"
  fi
done
echo "files: $files, $total means, $chained from the chain; $failures files differ"
# Where qor itself runs the long file's chains: beside the read, or in a second pass when no
# thread can be started.
long=$dir/corpus/long-alternating-16-32767.wav
expected=$([ "$(getconf _NPROCESSORS_ONLN)" -gt 1 ] && echo "1 0 0" || echo "0 0 1")
chmod 755 "$dir" "$dir/corpus"
cp build/qor-meancheck "$dir/"
chain=$(build/qor-meancheck chain info "$long" | means)
for way in plain without_threads; do
  if [ $way = plain ]; then
    shown=$("$dir/qor-meancheck" count info "$long" 2>"$dir/count" | means)
  else
    shown=$(without_threads "$dir/qor-meancheck" count info "$long" 2>"$dir/count" | means)
    expected="0 0 1"
  fi
  read -r _ _ used stopped second <<<"$(counts "$dir/count")"
  if [ -z "$chain" ] || [ "$shown" != "$chain" ] || [ "$used $stopped $second" != "$expected" ]; then
    failures=$((failures + 1))
    echo "LONG ($way): chains beside, stopped, in a second pass: $used $stopped $second, not $expected"
    diff <(echo "$chain") <(echo "$shown") | sed 's/^/  /' || true
  else
    echo "long file ($way): chains beside, stopped, in a second pass: $used $stopped $second; agree"
  fi
done
near=0
build/qor-meancheck near-edges "$signals" 1 || near=$?
[ "$failures" -eq 0 ] && [ "$near" -eq 0 ]
