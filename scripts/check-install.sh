#!/bin/bash
# Installs the package that scripts/package.sh built on a bare Debian 12 (a minimal chroot kept in
# build-deb/bare/) as a user would, without recommended packages, starts both programs, and
# removes it again. Needs root and Debian's package archive; not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
lumedra_install_deps debootstrap

debs=(build-deb/lumedra_*.deb)
[ -f "${debs[0]}" ] || { echo "no build-deb/lumedra_*.deb: run scripts/package.sh first" >&2; exit 1; }
deb=${debs[0]}
root=$PWD/build-deb/bare

if [ ! -x "$root/usr/bin/apt-get" ]; then
    rm -rf "$root"
    debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian
fi
mount -t proc proc "$root/proc"
trap 'umount "$root/proc"; rm -f "$root/tmp/$(basename "$deb")"' EXIT
cp "$deb" "$root/tmp/"

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"; }

in_root apt-get update -qq
in_root apt-get install -y -qq --no-install-recommends "/tmp/$(basename "$deb")"
in_root lumedra-cli --version
in_root lumedra-cli --help
in_root lumedra-cli --list

# The window keeps running until it is closed: still up after a few seconds means it started.
window() {
    local status=0
    in_root timeout 5 "$@" || status=$?
    [ "$status" -eq 124 ] || { echo "check-install.sh: '$*' ended with $status" >&2; exit 1; }
}
window env QT_QPA_PLATFORM=offscreen lumedra
# A real X server, for the xcb plugin and its libraries; Xvfb only after the package's own
# dependencies were checked above.
in_root apt-get install -y -qq --no-install-recommends xvfb xauth >/dev/null
window xvfb-run -a lumedra

in_root apt-get purge -y -qq lumedra xvfb xauth
in_root apt-get autoremove --purge -y -qq
if in_root dpkg-query -W lumedra 2>/dev/null || [ -e "$root/usr/bin/lumedra" ]; then
    echo "check-install.sh: lumedra is still there after its removal" >&2
    exit 1
fi
echo "check-install.sh: $deb installs, starts and removes on a bare Debian 12"
