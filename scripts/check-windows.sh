#!/usr/bin/env bash
# What only a Windows build meets, run under Wine (or on Windows through a shell with bash): a
# table of command lines, each run with qor.exe and, where Linux has the same case, with the
# Linux build on the same files, and compared.
#
#   scripts/check-windows.sh QOR_EXE LINUX_QOR [--runner "CMD"] [--keep]
#
# CMD (split into words) runs QOR_EXE: /usr/lib/wine/wine64 by default, or wine64 or wine from
# PATH. Each row runs in fresh folders of its own, W for qor.exe and L for LINUX_QOR, made alike.
# The row's Windows command line is its Linux one with every "/" inside a file name written as
# "\" (or the other way round), so the two runs print the same lines once every "\" in qor.exe's
# output is read as "/" and its CRLF line ends as LF. Compared are the exit code, standard output,
# the error stream, and the files in the folder (names, sizes and bytes). A few rows check what
# has no Linux counterpart. Prints one line per failing row, then "N cases, M failed"; exits 0
# only when none failed.
set -uo pipefail

usage() {
  echo "usage: scripts/check-windows.sh QOR_EXE LINUX_QOR [--runner \"CMD\"] [--keep]" >&2
  exit 2
}
exe="" linux="" runner=() keep=0
while (($#)); do
  case $1 in
    --runner) (($# >= 2)) || usage; read -ra runner <<<"$2"; shift ;;
    --keep) keep=1 ;;
    -*) usage ;;
    *)
      if [[ -z $exe ]]; then exe=$(realpath "$1")
      elif [[ -z $linux ]]; then linux=$(realpath "$1")
      else usage; fi ;;
  esac
  shift
done
[[ -f $exe && -x $linux ]] || usage
if ((${#runner[@]} == 0)); then
  if [[ -x /usr/lib/wine/wine64 ]]; then runner=(/usr/lib/wine/wine64)
  elif command -v wine64 >/dev/null; then runner=(wine64)
  else runner=(wine); fi
fi
makewave=$(dirname "$linux")/qor-makewave
[[ -x $makewave ]] || { echo "check-windows: no qor-makewave beside $linux" >&2; exit 2; }
export WINEDEBUG=${WINEDEBUG:--all} WINEPREFIX=${WINEPREFIX:-/tmp/qor-wine-$(id -u)}

# A fresh prefix is made by the first program Wine starts, which then says so on its error
# stream: that start is made here, so that no row depends on a prefix an earlier run left.
"${runner[@]}" cmd /c exit 0 >/dev/null 2>&1 </dev/null || true

root=$(mktemp -d /tmp/qorwin.XXXXXX)
chmod 755 "$root"
finish() { if ((keep)); then echo "check-windows: kept $root" >&2; else rm -rf "$root"; fi; }
trap finish EXIT
"$makewave" "$root/st.wav" 3 2 16 >/dev/null
"$makewave" "$root/mo.wav" 2 1 16 >/dev/null
"$makewave" "$root/long.wav" 300 2 16 >/dev/null   # 53 MB: a run long enough to be stopped

# The table. name | setup | Linux arguments | expectation
# Setup, separated by ";": `wave NAME SOURCE` (a copy of st.wav, mo.wav or long.wav), `dir NAME`,
# `old NAME` (an older file of that name), `readonly NAME` (no write permission: the read-only
# attribute under Wine), `stdin FILE` (standard input read from the file) or `pipe FILE` (from a
# pipe), `sjis` (the locale names Shift_JIS: LC_ALL=ja_JP.SJIS).
# The Windows arguments are the Linux ones with "/" written "\" inside file names (and /dev/null
# written NUL: "NUL" in qor.exe's lines is read as "/dev/null"); in `drive`
# rows every file name is also made absolute, with Wine's drive Z: before it. The folders' names
# hold dots, so that a "\" not taken for a separator puts a picture, a naked result or a half of
# the split under another name.
# Expectation: `same` (as the Linux build), `refused NAME` (exit code 255, the lines
# "E [OUTPUT] cannot output [NAME]" and "  [OUTPUT] Permission denied" last on the error stream,
# and nothing changed), `code N`
# (the exit code as Windows reports it, read through cmd.exe's %ERRORLEVEL%), `stopped` (the run
# is sent SIGINT once its temporary file exists, which Wine hands to the program as Ctrl-C: it
# must end with STATUS_CONTROL_C_EXIT, whose low byte 58 is the exit code Wine gives, and leave
# the folder as it was).
ROWS=(
  "backslash-picture | dir d.x; wave d.x/in.wav st         | boost /G /m2 d.x/in.wav d.x/out           | same"
  "backslash-split   | dir d.x; wave d.x/in.wav st         | lrsprit /g d.x/in.wav d.x/part            | same"
  "backslash-naked   | dir d.x; wave d.x/in.wav st         | boost /N /G500 /m2 d.x/in.wav d.x/raw     | same"
  "backslash-info    | dir d.x; dir d.x/e; wave d.x/e/in.wav mo | info /G d.x/e/in.wav                | same"
  "drive-letter      | dir d; wave d/in.wav st             | boost /G /B-3 d/in.wav d/out              | drive"
  "japanese          | wave 入力.wav st                    | boost /G /m2 入力.wav 出力.wav            | same"
  "japanese-folder   | dir 音声; wave 音声/元.wav st       | lrsprit 音声/元.wav 音声/分割.wav         | same"
  "japanese-ext      | wave 入力.wav mo                    | reverse 入力.wav 出力                     | same"
  "replace-existing  | wave in.wav st; old out.wav         | boost /m2 in.wav out.wav                  | same"
  "replace-source    | wave in.wav st                      | boost /W /B-6 in.wav                      | same"
  "replace-picture   | wave in.wav st; old out.BMP         | boost /G /m2 in.wav out.wav               | same"
  "readonly-dest     | wave in.wav st; old out.wav; readonly out.wav | boost /m2 in.wav out.wav      | refused out.wav"
  "readonly-source-W | wave in.wav st; readonly in.wav     | boost /W /m2 in.wav                       | refused in.wav"
  "missing-folder    | wave in.wav st                      | boost /m2 in.wav nodir/out.wav            | same"
  "stdin-file        | wave in.wav st; stdin in.wav        | boost /m2 - out.wav                       | same"
  "stdin-pipe        | wave in.wav st; pipe in.wav         | lrmono - out.wav                          | same"
  "stdout-result     | wave in.wav st                      | boost /m2 in.wav -                        | same"
  "usage-text        | -                                   |                                           | same"
  "usage-shift-jis   | sjis                                | --help                                    | same"
  "exit-minus-1      | -                                   | info missing.wav                          | code -1"
  "exit-files        | wave in.wav st                      | lrsprit in.wav part.wav                   | code 2"
  "null-device       | wave in.wav st                      | boost /m2 in.wav /dev/null                | same"
  "null-device-naked | wave in.wav st                      | boost /N /m2 in.wav /dev/null             | same"
  "ctrl-c-new        | wave in.wav long                    | lofi /b8 /f8000 in.wav out.wav            | stopped"
  "ctrl-c-existing   | wave in.wav long; old out.wav       | lofi /b8 /f8000 in.wav out.wav            | stopped"
  "ctrl-c-split      | wave in.wav long; old out_Lch.wav   | lrsprit /G in.wav out.wav                 | stopped"
)

# Makes the files of setup $2 in folder $1/w; sets input, how and locale for the run.
prepare() {
  local d=$1 setup=$2 item word
  input="" how="" locale=C.UTF-8
  local IFS=';'
  for item in $setup; do
    IFS=' ' read -ra word <<<"$item"
    case ${word[0]:-} in
      wave) cp "$root/${word[2]}.wav" "$d/w/${word[1]}" ;;
      dir) mkdir "$d/w/${word[1]}" ;;
      old) printf 'an older file\n' >"$d/w/${word[1]}" ;;
      readonly) chmod a-w "$d/w/${word[1]}"; chmod 777 "$d/w" ;;
      stdin) input=$d/w/${word[1]} how=file ;;
      pipe) input=$d/w/${word[1]} how=pipe ;;
      sjis) locale=ja_JP.SJIS ;;
      "" | -) ;;
      *) echo "check-windows: unknown setup $item" >&2; exit 2 ;;
    esac
  done
}

# Runs a qor command line in folder $1 with the Windows build ($2 = w) or the Linux one (l);
# $3 is the setup, the rest the arguments. Leaves rc, out, err and ls beside the folder.
run() {
  local d=$1 side=$2 setup=$3
  shift 3
  prepare "$d" "$setup"
  local launch=("$linux") pre=()
  [[ $side == l ]] || launch=("${runner[@]}" "$exe")
  # A read-only file is refused on Linux only to a user other than root; a run that names a
  # device runs so too, so that a build that took /dev/null for a folder to write a file in
  # could not leave one there.
  if [[ $side == l && ($setup == *readonly* || " $* " == *" /dev/"*) && $(id -u) == 0 ]]; then
    pre=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  fi
  (
    cd "$d/w" || exit 2
    if [[ $how == pipe ]]; then
      cat "$input" | LC_ALL=$locale "${pre[@]}" "${launch[@]}" "$@" >"$d/out" 2>"$d/err"
    else
      LC_ALL=$locale "${pre[@]}" "${launch[@]}" "$@" <"${input:-/dev/null}" >"$d/out" 2>"$d/err"
    fi
  )
  echo $? >"$d/rc"
  if [[ $side == w ]]; then
    # Text lines end in CRLF; every "\" in a name is read as "/". The result of `stdout-result`
    # is no text and is left alone.
    # Shift_JIS text keeps its "\" bytes: they are the second bytes of some characters.
    local names='s/\\/\//g; s|\bNUL\b|/dev/null|g'
    [[ $locale != ja_JP.SJIS ]] || names=''
    if [[ "$*" != *" -" ]]; then sed -i "s/\r\$//; $names" "$d/out"; fi
    sed -i "s/\r\$//; $names" "$d/err"
  fi
  (cd "$d/w" && find . -mindepth 1 -printf '%P\t%y\t%s\n' | LC_ALL=C sort) >"$d/ls"
}

# Argument $4 of a command line as qor.exe gets it: "/" inside a file name written "\",
# the operation word and options as they are.
windows_arg() {
  local a=$1 drive=$2 folder=$3 index=$4
  # The null device is NUL.
  if [[ $a == /dev/null ]]; then printf 'NUL'; return; fi
  if ((index == 0)) || [[ $a == /* && $a != /*/* ]] || [[ $a == -* ]] || [[ $a == "" ]]; then
    printf '%s' "$a"
    return
  fi
  if ((drive)); then a="Z:$folder/$a"; fi
  printf '%s' "${a//\//\\}"
}

cases=0 failed=0 case_failed=0
fail() { echo "FAIL $name: $*"; case_failed=1; }
for row in "${ROWS[@]}"; do
  IFS='|' read -r name setup args expect <<<"$row"
  name=$(echo $name) setup=$(echo "$setup" | sed 's/^ *//; s/ *$//') expect=$(echo $expect)
  read -ra largs <<<"$args"
  W=$root/$name/W L=$root/$name/L
  mkdir -p "$W/w" "$L/w"
  drive=0
  [[ $expect != drive ]] || drive=1
  wargs=()
  for k in "${!largs[@]}"; do wargs+=("$(windows_arg "${largs[k]}" "$drive" "$W/w" "$k")"); done
  cases=$((cases + 1)) case_failed=0
  if [[ $expect == stopped ]]; then
    prepare "$W" "$setup"
    (cd "$W/w" && find . -mindepth 1 -printf '%P\t%y\t%s\n' | LC_ALL=C sort) >"$W/before"
    (cd "$W/w" && exec "${runner[@]}" "$exe" "${wargs[@]}" </dev/null >"$W/out" 2>"$W/err") &
    pid=$!
    seen=0
    for ((k = 0; k < 3000; k++)); do
      if compgen -G "$W/w/.*.qor-*" >/dev/null; then seen=1; break; fi
      sleep 0.005
    done
    kill -INT "$pid" 2>/dev/null
    wait "$pid"
    echo $? >"$W/rc"
    ((seen)) || fail "no temporary file seen before the run ended"
    [[ $(<"$W/rc") == 58 ]] || fail "exit code $(<"$W/rc"), not 58 (STATUS_CONTROL_C_EXIT)"
    (cd "$W/w" && find . -mindepth 1 -printf '%P\t%y\t%s\n' | LC_ALL=C sort) >"$W/ls"
    cmp -s "$W/before" "$W/ls" || fail "the folder changed: $(diff "$W/before" "$W/ls" | grep '^[<>]' | tr '\t\n' '  ')"
    failed=$((failed + case_failed))
    continue
  fi
  # /dev/null.WAV, where it exists, is a file the Linux build rightly writes instead of the
  # device: a leftover of some earlier run, which would decide these rows.
  if [[ " ${largs[*]} " == *" /dev/null "* && -e /dev/null.WAV ]]; then
    fail "/dev/null.WAV exists (left by an earlier run): remove it"
    failed=$((failed + 1))
    continue
  fi
  run "$W" w "$setup" "${wargs[@]}"
  case $expect in
    same | drive)
      run "$L" l "$setup" "${largs[@]}"
      if [[ $expect == drive ]]; then
        # qor.exe names the files by their absolute paths; the Linux run by relative ones.
        sed -i "s|Z:/${W#/}/w/||g" "$W/out" "$W/err"
      fi
      [[ $(<"$W/rc") == $(<"$L/rc") ]] || fail "exit code $(<"$W/rc"), Linux $(<"$L/rc")"
      cmp -s "$W/out" "$L/out" || fail "standard output differs: $(diff "$L/out" "$W/out" | head -n 5 | tr '\n' ' ')"
      cmp -s "$W/err" "$L/err" || fail "error stream differs: $(diff "$L/err" "$W/err" | head -n 5 | tr '\n' ' ')"
      if cmp -s "$W/ls" "$L/ls"; then
        while IFS=$'\t' read -r file type _; do
          [[ $type != f ]] || cmp -s "$W/w/$file" "$L/w/$file" || fail "$file differs"
        done <"$W/ls"
      else
        fail "files differ: $(diff "$L/ls" "$W/ls" | grep '^[<>]' | tr '\t\n' '  ')"
      fi
      ;;
    refused*)
      target=${expect#refused }
      refusal="E [OUTPUT] cannot output [$target]"$'\n'"  [OUTPUT] Permission denied"
      [[ $(<"$W/rc") == 255 ]] || fail "exit code $(<"$W/rc"), not 255"
      [[ $(tail -n 2 "$W/err") == "$refusal" ]] || fail "last lines on the error stream: $(tail -n 2 "$W/err")"
      run "$L" l "$setup" "${largs[@]}"
      [[ $(tail -n 2 "$L/err") == "$refusal" ]] || fail "Linux: $(tail -n 2 "$L/err")"
      cmp -s "$W/err" "$L/err" || fail "error stream differs from Linux: $(diff "$L/err" "$W/err" | head -n 5 | tr '\n' ' ')"
      cmp -s "$W/ls" "$L/ls" || fail "files differ from Linux"
      if [[ $target == in.wav ]]; then cmp -s "$W/w/in.wav" "$root/st.wav" || fail "in.wav changed"; fi
      [[ $target != out.wav ]] || [[ $(<"$W/w/out.wav") == "an older file" ]] || fail "out.wav changed"
      ;;
    code*)
      # cmd.exe reports the exit code as Windows holds it, a signed 32-bit number.
      wexe="Z:${exe//\//\\}"
      got=$(cd "$W/w" && "${runner[@]}" cmd /c "$wexe ${wargs[*]} >NUL 2>NUL & echo %ERRORLEVEL%" </dev/null | tr -d '\r')
      [[ $got == "${expect#code }" ]] || fail "exit code as Windows reports it: $got, not ${expect#code }"
      ;;
  esac
  # No temporary file may be left in the folder.
  grep -q '\.qor-' "$W/ls" && fail "temporary file left: $(grep '\.qor-' "$W/ls" | cut -f1 | tr '\n' ' ')"
  failed=$((failed + case_failed))
done
echo "$cases cases, $failed failed"
((failed == 0))
