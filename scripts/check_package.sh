#!/usr/bin/env bash
# Builds the Debian package in build-package/, checks it with lintian (no error may remain),
# installs it on this machine with dpkg, checks that qor runs from PATH, that man finds its page
# and that bash-completion loads its completion, and removes the package again. Needs root
# (dpkg -i), dpkg-dev, lintian, man-db and bash-completion.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "check_package: needs root to install the package" >&2
  exit 1
fi
if dpkg-query -W -f '${Status}' qor 2>/dev/null | grep -q 'install ok installed'; then
  echo "check_package: a qor package is installed already; remove it first (dpkg -r qor)" >&2
  exit 1
fi

checks=0
failures=0
check() {
  local what=$1
  shift
  checks=$((checks + 1))
  if ! "$@"; then
    echo "FAIL: $what" >&2
    failures=$((failures + 1))
  fi
}

echo "check_package: building the package in build-package/"
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DQOR_TESTS=OFF >/dev/null
cmake --build build-package -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
rm -f build-package/qor_*.deb
(cd build-package && cpack -G DEB >/dev/null)
deb=$(echo build-package/qor_*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/qor ./usr/share/man/man1/qor.1.gz ./usr/share/bash-completion/completions/qor \
  ./usr/share/doc/qor/copyright ./usr/share/doc/qor/changelog.Debian.gz ./usr/share/doc/qor/README.md; do
  check "$deb holds $path" grep -qx "$path" <<<"$contents"
done
# Debian's own checks of the package (policy, the copyright file, compressed pages and
# changelog, a stripped program, permissions, the maintainer's address): its errors fail, its
# warnings are shown.
echo "check_package: lintian $deb"
lintian_status=0
lintian --fail-on error "$deb" || lintian_status=$?
check "lintian reports no error on $deb (exit $lintian_status)" test "$lintian_status" -eq 0
copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/qor/copyright)
check "the copyright file carries the licence of LICENSE" \
  grep -q "^License: Expat\$" <<<"$copyright"
check "the copyright file's permission is LICENSE's" \
  test "$(sed -n 's/^ //; /^Permission/,$p' <<<"$copyright" | sed 's/^\.$//')" = "$(sed -n '/^Permission/,$p' LICENSE)"
# The C++ runtime is linked into the program: the package needs the C library and nothing more.
depends=$(dpkg-deb -f "$deb" Depends)
check "the package depends on the C library (Depends: $depends)" grep -q 'libc6' <<<"$depends"
check "the package does not depend on the C++ runtime, linked in (Depends: $depends)" \
  bash -c "! grep -q 'libstdc++\|libgcc' <<<'$depends'"

echo "check_package: installing $deb"
# Minimal Debian images keep manual pages out of every package (a path-exclude for
# /usr/share/man in /etc/dpkg/dpkg.cfg.d/); qor's own page is let in, since it is checked below.
dpkg --path-include='/usr/share/man/man1/qor.1*' -i "$deb" >/dev/null
trap 'dpkg -r qor >/dev/null' EXIT

check "qor on PATH is the packaged /usr/bin/qor, not $(command -v qor)" test "$(command -v qor)" = /usr/bin/qor
usage_status=0
usage=$(cd / && qor 2>&1 >/dev/null) || usage_status=$?
check "qor without arguments exits 0 (got $usage_status)" test "$usage_status" -eq 0
check "qor without arguments prints its usage" grep -q 'usage : ' <<<"$usage"
check "man -w qor finds the packaged page" test "$(man -w qor 2>/dev/null)" = /usr/share/man/man1/qor.1.gz
check "man qor formats the page" \
  bash -c 'man -P cat qor 2>/dev/null | grep -q "analyse and edit uncompressed PCM WAVE files"'
# bash-completion loads a command's completion from its completions folder on first use.
check "bash-completion loads the packaged completion" bash -c '
  source /usr/share/bash-completion/bash_completion
  __load_completion qor && [ "$(complete -p qor)" = "complete -F _qor qor" ]'

dpkg -r qor >/dev/null
trap - EXIT
check "dpkg -r qor removes the program" test ! -e /usr/bin/qor
echo "package: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
