#!/usr/bin/env bash
# Builds the Kestrava Skin Installer and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
kvr_install_deps test

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2
