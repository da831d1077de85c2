#!/bin/bash
# Builds the Debian package build-deb/lumedra_<version>_<arch>.deb and checks what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
# dpkg-dev (dpkg-buildflags, dpkg-shlibdeps) and file: the hardening flags, and cpack derives
# Depends from the programs' libraries. lintian: Debian's own judge of the package.
# desktop-file-utils, appstream, man-db: the desktop entry's, the metainfo's and the manual
# pages' checks below.
lumedra_install_deps dpkg-dev file lintian desktop-file-utils appstream man-db

# A build directory of its own: Debian's flags never meet ./test.sh's build/.
dir=build-deb
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# CMake does not read CPPFLAGS, so _FORTIFY_SOURCE goes in with the compiler flags. The build
# type None leaves the optimisation to these flags, as a Debian package build does.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
# The manual pages carry the release's date, not the build's.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l packaging/changelog -S Timestamp)
export SOURCE_DATE_EPOCH
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/lumedra_*.deb
(cd "$dir" && cpack -G DEB)

debs=("$dir"/lumedra_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || { echo "expected one $dir/lumedra_*.deb" >&2; exit 1; }
deb=${debs[0]}
dpkg-deb --info "$deb"
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
paths=$(awk '{print $NF}' <<<"$contents")

fail=0
problem() { echo "package.sh: $*" >&2; fail=1; }
has() { grep -qxF "./$1" <<<"$paths"; }

id=io.github.lumedra.lumedra
expected=(
    usr/bin/lumedra
    usr/share/applications/$id.desktop
    usr/share/metainfo/$id.metainfo.xml
    usr/share/doc/lumedra/README.md
    usr/share/doc/lumedra/copyright
    usr/share/doc/lumedra/changelog.gz
    usr/share/man/man1/lumedra.1.gz
)
# The command-line program is only checked once the project builds it.
if grep -rqE 'add_executable\(\s*lumedra-cli\b' --include=CMakeLists.txt --include='*.cmake' \
        --exclude-dir='build*' .; then
    expected+=(usr/bin/lumedra-cli usr/share/man/man1/lumedra-cli.1.gz
               usr/share/bash-completion/completions/lumedra-cli)
fi
# The station window, once the project builds it.
ids=($id)
if grep -rqE 'add_executable\(\s*lumedra-station\b' --include=CMakeLists.txt --exclude-dir='build*' .; then
    ids+=(io.github.lumedra.station)
    expected+=(usr/bin/lumedra-station usr/share/man/man1/lumedra-station.1.gz
               usr/share/applications/io.github.lumedra.station.desktop
               usr/share/metainfo/io.github.lumedra.station.metainfo.xml)
fi
for f in "${expected[@]}"; do
    has "$f" || problem "missing $f"
done

# Developer programs (tools, benchmark, tests) must not be shipped.
for name in $(sed -nE 's/^\s*(add_executable|lumedra_test)\(\s*([A-Za-z0-9_.-]+).*/\2/p' \
        tools/CMakeLists.txt bench/CMakeLists.txt tests/CMakeLists.txt); do
    if grep -q "/$name\$" <<<"$paths"; then problem "developer program $name is in the package"; fi
done

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"

for each in "${ids[@]}"; do
    desktop-file-validate "$tree/usr/share/applications/$each.desktop" ||
        problem "desktop entry $each does not validate"
    # --strict: a warning or an info fails too.
    appstreamcli validate --no-net --strict --pedantic "$tree/usr/share/metainfo/$each.metainfo.xml" ||
        problem "the AppStream metainfo $each does not validate"
    grep -q "<release version=\"$(dpkg-deb --field "$deb" Version)\"" \
        "$tree/usr/share/metainfo/$each.metainfo.xml" || problem "the metainfo $each has no release"
done
# validate-tree also checks each metainfo against the desktop entry it launches.
appstreamcli validate-tree --no-net --strict "$tree" || problem "the AppStream tree does not validate"

for page in "$tree"/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || problem "$(basename "$page"): $warnings"
done

depends=$(dpkg-deb --field "$deb" Depends)
for lib in libqt5core5a libqt5gui5 libqt5widgets5 libqt5serialport5 libqt5sql5 libqt5sql5-sqlite libelf1; do
    grep -qE "(^|[ ,])$lib([ ,(]|$)" <<<"$depends" || problem "Depends lacks $lib"
done
grep -qF "fonts-wqy-microhei | fonts-noto-cjk" <<<"$depends" || problem "Depends lacks the CJK font"

version=$(dpkg-deb --field "$deb" Version)
[ "$(dpkg-parsechangelog -l packaging/changelog -S Version)" = "$version" ] ||
    problem "packaging/changelog's last entry is not version $version"

# Debian's judge: every error and warning fails the package. Informational, pedantic and
# experimental tags are shown too.
echo "lintian --pedantic:"
lintian --pedantic --display-info --display-experimental --fail-on error,warning "$deb" ||
    problem "lintian found errors or warnings"

[ "$fail" -eq 0 ] || exit 1
echo "package.sh: $deb ok"
