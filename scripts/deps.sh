# Sourced by the run and test scripts: installs what the build needs when it is missing.
# scdoc: the manual pages are generated from docs/*.scd at build time; bash-completion: the
# completion's test loads its helpers; libelf-dev: ELF images; srecord: srec_cat, the image
# tests' oracle (a program only, never linked); binutils: ld makes the tests' ELF files.
lumedra_packages="cmake make g++ qtbase5-dev libqt5serialport5-dev fonts-wqy-microhei scdoc bash-completion postgresql libqt5sql5-sqlite libqt5sql5-psql zlib1g-dev libelf-dev srecord binutils"

lumedra_install_deps() {
    local missing="" pkg
    for pkg in $lumedra_packages "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $pkg"
    done
    [ -z "$missing" ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing:$missing"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
}
