#!/usr/bin/env bash
# Checks the bash completion (completion/qor, or the file given): for each command line typed so
# far, the candidates it offers, compared as a sorted, space-separated list.
set -euo pipefail
file=$(realpath "${1:-$(dirname "$0")/../completion/qor}")
# shellcheck source=../completion/qor
source "$file"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p sub/deeper 'two words'
touch a.wav B.WAV c.Wav notes.txt sub/inner.wav sub/skip.bmp 'two words/x.wav' -- -dash.wav

# Sets COMP_WORDS and COMP_CWORD as bash does (the last word is the one being completed),
# runs the completion function and prints its candidates.
candidates() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _qor qor "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    if [ ${#COMPREPLY[@]} -gt 0 ]; then printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd' ' -; else echo; fi
}

checks=0
failures=0
expect() {
    local want=$1
    shift
    local got
    got=$(candidates "$@")
    checks=$((checks + 1))
    if [ "$got" != "$want" ]; then
        printf 'FAIL: qor %s<TAB>\n  want: %s\n  got:  %s\n' "${*:2}" "$want" "$got"
        failures=$((failures + 1))
    fi
}

ops='add ask back boost ccancel combine compare convert cut head info inssilent l2mono lofi lrcombine lrmono'
ops+=' lrsprit max mix r2mono reverse sb8convert subtract vcompress'
slash='/2 /8 /B /D /F /G /L /M /N /O /RB /RC /S /T /V /W /b /f /g /m /o /t /v'
dash=${slash//\//-}
expect "$ops" qor ''
expect 'l2mono lofi lrcombine lrmono lrsprit' qor l
expect 'boost' qor BO
expect '' qor boost cu
expect "$slash" qor boost /
expect "- $dash" qor mix /W -
expect '--help --version -h' qor -
expect '--help --version' qor --
expect '/RB /RC' qor info /R
expect '-RB -RC' qor info -R
expect '' qor boost -x
expect '-B' qor boost -B
expect "B.WAV a.wav c.Wav sub two words" qor info ''
expect "B.WAV a.wav c.Wav sub two words" qor boost /B-6 ''
expect 'a.wav' qor mix /W a
expect 'sub/deeper sub/inner.wav' qor info sub/
expect 'two words/x.wav' qor info 'two words/'
expect "$work/-dash.wav $work/B.WAV $work/a.wav $work/c.Wav $work/sub $work/two words" qor info "$work/"
# A path begun at the root: folders and WAVE files under it beside any switch that matches.
expect "$(compgen -d -- /u | LC_ALL=C sort | paste -sd' ' -)" qor info /u
expect "/b $(compgen -d -- /b | LC_ALL=C sort | paste -sd' ' -)" qor info /b

echo "completion: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
