#!/usr/bin/env bash
# Builds qor and runs the benchmark: every operation on a 10-minute file in /dev/shm (with
# --long, a sample of them on a 3-hour, 1.9 GB, file too), against the I/O floor and, where sox is
# installed, sox; info beside the read floor; 500 runs on a 1-second file. Extra arguments go to
# bench.py.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v sox >/dev/null && [ "$(id -u)" = 0 ]; then
  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq sox) >/dev/null 2>&1 || true
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
python3 bench/bench.py "$@"
