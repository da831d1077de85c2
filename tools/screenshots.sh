#!/bin/bash
# Renders the README's two pictures into docs/ on a virtual display (installs Xvfb if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
lumedra_install_deps xvfb xauth
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target lumedra-screenshot
xvfb-run -a build/tools/lumedra-screenshot docs/
