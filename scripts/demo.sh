#!/usr/bin/env bash
# Builds qor, makes a sample WAVE file with the project's own generator and runs qor on it:
# a report with a waveform picture, a gain change with its picture, and the stereo split.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
mkdir -p out
build/qor-makewave out/sample.wav 5 2 16

# qor's exit code is the number of files it wrote; anything else is a failure here.
run() {
  local expected=$1
  shift
  echo "\$ qor $*"
  local status=0
  build/qor "$@" || status=$?
  if [ "$status" != "$expected" ]; then
    echo "demo: qor exited with $status, expected $expected" >&2
    exit 1
  fi
}
run 0 info /G out/sample.wav                          # report, and out/sample.BMP
run 1 boost /B-6 /g out/sample.wav out/quieter.wav    # 6 dB down, and out/quieter.BMP
run 2 lrsprit out/sample.wav out/split.wav            # out/split_Lch.wav and out/split_Rch.wav
ls -l out
