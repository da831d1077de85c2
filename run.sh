#!/bin/bash
# Builds Lumedra and starts it.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
lumedra_install_deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target lumedra
exec build/lumedra "$@"
