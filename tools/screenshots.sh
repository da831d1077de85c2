#!/bin/bash
# Renders the README's pictures of both windows into docs/ on a virtual display (installs Xvfb if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
lumedra_install_deps xvfb xauth
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target lumedra-screenshot lumedra-station-screenshot \
    lumedra-scan-screenshot
xvfb-run -a build/tools/lumedra-screenshot docs/
xvfb-run -a build/tools/lumedra-station-screenshot docs/
xvfb-run -a build/tools/lumedra-scan-screenshot docs/
