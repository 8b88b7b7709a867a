#!/usr/bin/env bash
# Builds the Kestrava Skin Installer (installing build dependencies when missing) and starts it.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
kvr_install_deps build

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

exec build/bin/kvrsi
