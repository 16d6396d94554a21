#!/usr/bin/env bash
# Builds qor and runs every test: once in a release build, once under AddressSanitizer and
# UndefinedBehaviorSanitizer (a sanitizer report aborts the test that triggered it). Says which
# stage it is in before each one and how long it took after it, builds the program, the tests and
# the rest as three groups so that each group's time shows, and names every skipped test with
# the reason it gave.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

say() { printf '\ntest.sh: %s\n' "$*"; }
stage_start=$SECONDS
took() {
  printf 'test.sh: %s took %d s\n' "$1" $((SECONDS - stage_start))
  stage_start=$SECONDS
}

# The skipped tests of the last ctest run in folder $1, each with the reason it gave.
skip_reasons() {
  local log=$1/Testing/Temporary/LastTest.log
  [ -f "$log" ] || return 0
  awk '/^\[ RUN      \] / { name = $4 }
       /: Skipped$/ { getline reason; printf "test.sh: skipped %s: %s\n", name, reason }' "$log"
}

# Configures folder $1 with the CMake arguments after it, builds it in groups and runs its tests.
build_and_test() {
  local dir=$1 what=$2
  shift 2
  say "configuring $what in $dir/..."
  cmake -S . -B "$dir" "$@" >/dev/null
  took "configuring $dir/"
  say "building the program in $dir/ (qor and the sample maker qor-makewave) on $jobs cores..."
  cmake --build "$dir" -j"$jobs" --target qor qor-makewave
  took "building the program in $dir/"
  say "building the tests in $dir/ (qor_tests) on $jobs cores..."
  cmake --build "$dir" -j"$jobs" --target qor_tests
  took "building the tests in $dir/"
  say "building the rest of $dir/ (the means check, the benchmark's floor) on $jobs cores..."
  cmake --build "$dir" -j"$jobs"
  took "building the rest of $dir/"
  say "running the tests in $dir/..."
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
  took "running the tests in $dir/"
  skip_reasons "$dir"
}

build_and_test build "the release build" -DCMAKE_BUILD_TYPE=Release

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build_and_test build-sanitize "the sanitizer build (AddressSanitizer, UBSan)" \
  -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON
say "done in $SECONDS s"
