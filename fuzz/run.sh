#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/, writes the seed corpora with the tests' WAVE writer, then runs each fuzzer for a
# bounded time. Any crash, sanitizer report, leak or timeout fails the script; the input that
# caused it is left in build-fuzz/findings/.
#
#   fuzz/run.sh [seconds per fuzzer]     (default 20; QOR_FUZZ_SECONDS works too)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${QOR_FUZZ_SECONDS:-20}}
jobs=$(nproc 2>/dev/null || echo 2)
build=build-fuzz

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

rm -rf "$build/seeds" "$build/findings"
mkdir -p "$build/findings"
"$build/qor-fuzz-seeds" "$build/seeds"

scratch=$(mktemp -d /dev/shm/qor-fuzz.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export QOR_FUZZ_SCRATCH=$scratch
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

total=0
for harness in source operation command_line; do
  corpus="$build/corpus/$harness"
  mkdir -p "$corpus"
  log="$build/$harness.log"
  # The corpus folder gathers what the fuzzer learns; the seeds are read only. -close_fd_mask=3
  # keeps the program's own lines out of the log (libFuzzer and sanitizer reports stay).
  # -malloc_limit_mb makes any single allocation above 256 MiB a finding: an input of at most
  # 4 KiB that asks for that much sized a buffer from its header.
  if ! "$build/${harness}_fuzzer" "$corpus" "$build/seeds/$harness" -max_total_time="$seconds" \
      -max_len=4096 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=256 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$build/findings/$harness-" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $harness fuzzer found a fault; the input is in $build/findings/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  echo "fuzz: $harness: ${runs:-0} executions in ${seconds} s, corpus $(ls "$corpus" | wc -l) inputs"
  total=$((total + ${runs:-0}))
done
echo "fuzz: $total executions in all"
