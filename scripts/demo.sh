#!/usr/bin/env bash
# Builds qor, makes a sample WAVE file with the project's own generator and runs qor on it:
# a report with a waveform picture, a gain change with its picture, and the stereo split.
# Says what it is doing before each stage; the program it builds is build/qor.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

say() { printf '\ndemo: %s\n' "$*"; }

say "configuring a release build in build/ with CMake..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
echo "demo: configured in $SECONDS s"
say "building build/qor and the sample maker build/qor-makewave on $jobs cores" \
  "(about a minute on a fresh clone; the tests are not built here)..."
built_from=$SECONDS
cmake --build build -j"$jobs" --target qor qor-makewave
echo "demo: built in $((SECONDS - built_from)) s"
mkdir -p out
say "making out/sample.wav, a 5-second 16-bit stereo sample: tones and noise with a second of silence at each end..."
build/qor-makewave out/sample.wav 5 2 16

# qor's exit code is the number of files it wrote; anything else is a failure here.
run() {
  local expected=$1 what=$2
  shift 2
  say "$what"
  echo "\$ build/qor $*"
  local status=0
  build/qor "$@" || status=$?
  if [ "$status" != "$expected" ]; then
    echo "demo: qor exited with $status, expected $expected" >&2
    exit 1
  fi
}
run 0 "reporting on the sample, with its waveform in out/sample.BMP..." info /G out/sample.wav
run 1 "writing it 6 dB down as out/quieter.wav, with its waveform in out/quieter.BMP..." \
  boost /B-6 /g out/sample.wav out/quieter.wav
run 2 "splitting it into out/split_Lch.wav and out/split_Rch.wav..." lrsprit out/sample.wav out/split.wav
say "done in $SECONDS s. The program is build/qor; the files are in out/:"
ls -l out
