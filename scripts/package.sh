#!/bin/bash
# Builds the Debian package build/lumedra_<version>_<arch>.deb and checks what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
# dpkg-dev (dpkg-shlibdeps) and file: cpack derives Depends from the programs' libraries.
# desktop-file-utils: the desktop entry's check below.
lumedra_install_deps dpkg-dev file desktop-file-utils

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
rm -f build/lumedra_*.deb
(cd build && cpack -G DEB)

debs=(build/lumedra_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || { echo "expected one build/lumedra_*.deb" >&2; exit 1; }
deb=${debs[0]}
dpkg-deb --info "$deb"
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
paths=$(awk '{print $NF}' <<<"$contents")

fail=0
problem() { echo "package.sh: $*" >&2; fail=1; }
has() { grep -qxF "./$1" <<<"$paths"; }

expected=(usr/bin/lumedra usr/share/applications/lumedra.desktop usr/share/doc/lumedra/README.md)
# The command-line program is only checked once the project builds it.
if grep -rqE 'add_executable\(\s*lumedra-cli\b' --include=CMakeLists.txt --include='*.cmake' \
        --exclude-dir='build*' .; then
    expected+=(usr/bin/lumedra-cli)
fi
for f in "${expected[@]}"; do
    has "$f" || problem "missing $f"
done

# Developer programs (tools, benchmark, tests) must not be shipped.
for name in $(sed -nE 's/^\s*(add_executable|lumedra_test)\(\s*([A-Za-z0-9_.-]+).*/\2/p' \
        tools/CMakeLists.txt bench/CMakeLists.txt tests/CMakeLists.txt); do
    if grep -q "/$name\$" <<<"$paths"; then problem "developer program $name is in the package"; fi
done

entry=$(mktemp --suffix=.desktop)
trap 'rm -f "$entry"' EXIT
if dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/applications/lumedra.desktop >"$entry" 2>/dev/null; then
    desktop-file-validate "$entry" || problem "desktop entry does not validate"
fi

depends=$(dpkg-deb --field "$deb" Depends)
for lib in libqt5core5a libqt5widgets5 libqt5serialport5; do
    grep -qE "(^|[ ,])$lib([ ,(]|$)" <<<"$depends" || problem "Depends lacks $lib"
done

[ "$fail" -eq 0 ] || exit 1
echo "package.sh: $deb ok"
