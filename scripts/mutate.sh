#!/usr/bin/env bash
# A small mutation run: each line of MUTANTS names one one-token fault (a file, a piece of text
# that stands in it exactly once, and what to put in its place); for each, a copy of the
# committed tree gets that fault, qor and the tests are rebuilt, and the checks run. A mutant the
# checks let through is listed as surviving: either the tests miss a fault there, or the mutant
# is equivalent (say why beside it in MUTANTS, after a third tab).
#
#   scripts/mutate.sh MUTANTS [--checks "COMMAND"] [--keep]
#
# MUTANTS: lines "FILE<TAB>TEXT<TAB>REPLACEMENT[<TAB>note]" (TEXT standing once in FILE; "\n" in
# TEXT and REPLACEMENT is a line break); blank lines and lines starting with "#" are skipped. The checks (run in the copy, with build/ holding the mutated build) are by
# default the unit and end-to-end tests and the quick fault injection:
#   ctest --test-dir build -j2 && bash scripts/inject-faults.sh build/qor --quick
# Prints "KILLED", "SURVIVED" or "NOT APPLIED" per mutant, then the counts; exits 0.
set -uo pipefail
cd "$(dirname "$0")/.."
mutants="" checks="ctest --test-dir build -j2 >/dev/null 2>&1 && bash scripts/inject-faults.sh build/qor --quick >/dev/null 2>&1" keep=0
while (($#)); do
  case $1 in
    --checks) checks=$2; shift ;;
    --keep) keep=1 ;;
    *) mutants=$1 ;;
  esac
  shift
done
[[ -f $mutants ]] || { echo "usage: scripts/mutate.sh MUTANTS [--checks \"COMMAND\"] [--keep]" >&2; exit 2; }

copy=$(mktemp -d /tmp/qor-mutate.XXXXXX)
chmod 755 "$copy"  # the checks run some cases as the user nobody
finish() { if ((keep)); then echo "mutate: kept $copy" >&2; else rm -rf "$copy"; fi; }
trap finish EXIT
git archive HEAD | tar -x -C "$copy"
cmake -S "$copy" -B "$copy/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$copy/build" -j2 >/dev/null 2>&1 || { echo "mutate: the unmutated tree does not build" >&2; exit 2; }
(cd "$copy" && bash -c "$checks") || { echo "mutate: the checks fail on the unmutated tree" >&2; exit 2; }

killed=0 survived=0 skipped=0
while IFS=$'\t' read -r file text replacement note; do
  [[ -z $file || $file == \#* ]] && continue
  target="$copy/$file"
  cp "$target" "$target.orig" 2>/dev/null || { echo "NOT APPLIED (no file): $file"; skipped=$((skipped + 1)); continue; }
  # "\n" in TEXT and REPLACEMENT stands for a line break.
  if ! python3 - "$target" "$text" "$replacement" <<'EOF'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path).read()
if text.count(old) != 1:
    sys.exit(3)
open(path, "w").write(text.replace(old, new, 1))
EOF
  then
    echo "NOT APPLIED (not in one place): $file: $text"
    rm -f "$target.orig"
    skipped=$((skipped + 1))
    continue
  fi
  if ! cmake --build "$copy/build" -j2 >/dev/null 2>&1; then
    echo "KILLED (does not build): $file: $text -> $replacement"
    killed=$((killed + 1))
  elif (cd "$copy" && bash -c "$checks"); then
    echo "SURVIVED: $file: $text -> $replacement${note:+  ($note)}"
    survived=$((survived + 1))
  else
    echo "KILLED: $file: $text -> $replacement"
    killed=$((killed + 1))
  fi
  mv "$target.orig" "$target"
  touch "$target"
done <"$mutants"
echo "$((killed + survived)) mutants run: $killed killed, $survived survived; $skipped not applied"
