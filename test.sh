#!/usr/bin/env bash
# Builds the Kestrava Skin Installer and runs the whole test suite twice: as built for users, and
# built with AddressSanitizer and UndefinedBehaviorSanitizer, where any report fails the run.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
kvr_install_deps test

echo "== Build and test (build/)"
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default

echo "== Build and test under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
cmake --preset asan >/dev/null
cmake --build --preset asan
# The sanitizers' options are in the asan test preset (CMakePresets.json).
ctest --preset asan
