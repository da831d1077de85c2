#!/bin/bash
# Builds Lumedra and starts it.
set -euo pipefail
cd "$(dirname "$0")"
# Without a desktop Qt aborts only after the build; say so at once.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "run.sh: the window needs a desktop and neither DISPLAY nor WAYLAND_DISPLAY is set: try 'xvfb-run -a ./run.sh' (package xvfb), or the command line build/cli/lumedra-cli (built by ./test.sh), which needs none" >&2
    exit 1
fi
. scripts/deps.sh
lumedra_install_deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target lumedra
exec build/app/lumedra "$@"
