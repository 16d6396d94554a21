#!/usr/bin/env bash
# Builds qor, makes a sample WAVE file with the project's own generator and runs qor on it.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
mkdir -p out
build/qor-makewave out/sample.wav 5 2 16
build/qor info out/sample.wav
