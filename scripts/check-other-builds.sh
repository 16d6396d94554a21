#!/usr/bin/env bash
# The builds besides Linux's, each checked against the Linux build (build/qor and
# build/qor-makewave, built beforehand, as scripts/test.sh leaves them):
#   - the portable preset (POSIX calls only): the differential matrix, and the fault injection,
#     which then goes through the named temporary files and the plain copies;
#   - the windows preset (qor.exe, cross-built with mingw-w64), run under Wine: the matrix less
#     the cases Windows has no counterpart for, the table of Windows-only cases, and qor.exe from
#     the zip made by cpack running the README's Windows quick start.
# Says which stage it is in and how long each took; exits non-zero at the first stage that fails.
#
#   scripts/check-other-builds.sh [--no-portable] [--no-windows]
#
# Wine runs in a private prefix under /tmp (WINEPREFIX, when set, is used instead), with one
# wineserver kept running for the whole stage and stopped at its end.
set -euo pipefail
cd "$(dirname "$0")/.."
portable=1 windows=1
for arg in "$@"; do
  case $arg in
    --no-portable) portable=0 ;;
    --no-windows) windows=0 ;;
    *) echo "usage: scripts/check-other-builds.sh [--no-portable] [--no-windows]" >&2; exit 2 ;;
  esac
done
[[ -x build/qor && -x build/qor-makewave ]] || { echo "check-other-builds: build build/qor and build/qor-makewave first" >&2; exit 2; }

linux_qor=$PWD/build/qor
started=$SECONDS
stage_start=$SECONDS
say() {
  printf '\ncheck-other-builds: %s\n' "$*"
  stage_start=$SECONDS
}
took() { printf 'check-other-builds: %s took %d s\n' "$1" $((SECONDS - stage_start)); }

if ((portable)); then
  say "building the portable preset in build-portable/..."
  cmake --preset portable >/dev/null
  cmake --build --preset portable >/dev/null
  took "the portable build"
  say "the differential matrix, build/qor against build-portable/qor..."
  bash scripts/compare-builds.sh --binaries build/qor build-portable/qor --jobs 4
  took "the portable matrix"
  say "injecting faults into build-portable/qor's runs..."
  bash scripts/inject-faults.sh build-portable/qor --quick --named-temporaries
  took "the portable fault injection"
fi

if ((windows)); then
  if [[ -x /usr/lib/wine/wine64 ]]; then
    wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver
  else
    wine=$(command -v wine64 || command -v wine) wineserver=$(command -v wineserver)
  fi
  export WINEPREFIX=${WINEPREFIX:-/tmp/qor-wine-$(id -u)} WINEDEBUG=-all
  say "building the windows preset in build-windows/ and its zip..."
  cmake --preset windows >/dev/null
  cmake --build --preset windows >/dev/null
  (cd build-windows && cpack -G ZIP >/dev/null)
  took "the Windows build and zip"
  say "starting Wine in $WINEPREFIX (the first start makes the prefix)..."
  # The server first, kept running: every later start of a program then finds it. It needs the
  # prefix's folder, and exits 2 when one already serves this prefix, which then serves the runs.
  mkdir -p "$WINEPREFIX"
  "$wineserver" -p || (($? == 2))
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  "$wine" cmd /c exit 0 >/dev/null 2>&1 || true
  took "Wine's start"
  say "the differential matrix, build/qor against build-windows/qor.exe under Wine..."
  bash scripts/compare-builds.sh --binaries build/qor build-windows/qor.exe --runner "$wine" --windows --jobs 10
  took "the Windows matrix"
  say "the Windows-only cases under Wine..."
  bash scripts/check-windows.sh build-windows/qor.exe build/qor --runner "$wine"
  took "the Windows-only cases"
  say "qor.exe from the zip: the README's quick start for Windows..."
  zip=$(ls build-windows/qor-*-win64.zip)
  work=$(mktemp -d /tmp/qor-zip.XXXXXX)
  (cd "$work" && cmake -E tar xf "$(realpath "$OLDPWD/$zip")")
  folder=$(ls -d "$work"/qor-*-win64)
  for file in qor.exe README.md qor.txt LICENSE.txt; do
    [[ -f $folder/$file ]] || { echo "check-other-builds: $file is not in $zip" >&2; exit 1; }
  done
  grep -q 'NAME' "$folder/qor.txt" || { echo "check-other-builds: qor.txt is not the manual page" >&2; exit 1; }
  build/qor-makewave "$work/sample.wav" 5 2 16 >/dev/null
  mkdir "$work/linux"
  cp "$work/sample.wav" "$work/linux/"
  # The commands as the README gives them, with the exit code each must give (files written).
  quick_start=("0 info /G sample.wav" "1 boost /B-6 /g sample.wav quieter.wav" "2 lrsprit sample.wav split.wav")
  for line in "${quick_start[@]}"; do
    read -ra words <<<"$line"
    status=0
    (cd "$work" && "$wine" "$folder/qor.exe" "${words[@]:1}" >/dev/null 2>&1) || status=$?
    [[ $status == "${words[0]}" ]] || { echo "check-other-builds: qor.exe ${words[*]:1} exited with $status" >&2; exit 1; }
    (cd "$work/linux" && "$linux_qor" "${words[@]:1}" >/dev/null 2>&1) || true
  done
  for file in sample.BMP quieter.wav quieter.BMP split_Lch.wav split_Rch.wav; do
    cmp "$work/$file" "$work/linux/$file" || { echo "check-other-builds: $file differs from the Linux build's" >&2; exit 1; }
  done
  rm -rf "$work"
  took "the zip's quick start"
fi
printf '\ncheck-other-builds: done in %d s\n' $((SECONDS - started))
