#!/usr/bin/env bash
# Builds qor and runs every test: once in a release build, once under AddressSanitizer and
# UndefinedBehaviorSanitizer (a sanitizer report aborts the test that triggered it). Says which
# stage it is in before each one.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

say() { printf '\ntest.sh: %s\n' "$*"; }

say "configuring the release build in build/..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
say "building build/ on $jobs cores..."
cmake --build build -j"$jobs"
say "running the tests in build/..."
(cd build && ctest --output-on-failure -j"$jobs")

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
say "configuring the sanitizer build (AddressSanitizer, UBSan) in build-sanitize/..."
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON >/dev/null
say "building build-sanitize/ on $jobs cores..."
cmake --build build-sanitize -j"$jobs"
say "running the tests in build-sanitize/..."
(cd build-sanitize && ctest --output-on-failure -j"$jobs")
