#!/usr/bin/env bash
# Checks that the means `info` prints are the running chains' to the last digit and sign, when
# they are settled from exact sums instead of running the chains.
#
# Builds qor and qor-meancheck in build/ (Release), writes a corpus of WAVE files (silence,
# alternating +-A with mean exactly 0, one loud step among zeros with means exactly 0.0005,
# constant offsets from 1 to 32767 with small noise over millions of steps, 8-bit files, stereo
# with one silent channel, padded steps, a tone), and for each file compares the "Avg/" lines of
# `qor info` with those of qor forced onto the chains (`qor-meancheck chain info`), counting the
# means the chains had to settle (`qor-meancheck count info`). Then runs the in-process comparison
# on random short signals near the edges of the printed digits (`qor-meancheck near-edges`).
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
files=0
total=0
chained=0
failures=0
for file in "$dir"/corpus/*.wav; do
  name=$(basename "$file" .wav)
  shown=$(build/qor info "$file" | means)
  counted=$(build/qor-meancheck count info "$file" 2>"$dir/count" | means)
  chain=$(build/qor-meancheck chain info "$file" | means)
  # "means: X from the sums, Y from the chain"
  read -r _ sums _ _ _ chains _ <"$dir/count"
  files=$((files + 1))
  total=$((total + sums + chains))
  chained=$((chained + chains))
  if [ -z "$chain" ] || [ "$shown" != "$chain" ] || [ "$counted" != "$chain" ]; then
    failures=$((failures + 1))
    echo "DIFFER: $name"
    diff <(echo "$chain") <(echo "$shown") | sed 's/^/  /' || true
  else
    echo "$name: $((sums + chains)) means, $chains from the chain, agree"
  fi
done
echo "files: $files, $total means, $chained from the chain; $failures files differ"
near=0
build/qor-meancheck near-edges "$signals" 1 || near=$?
[ "$failures" -eq 0 ] && [ "$near" -eq 0 ]
