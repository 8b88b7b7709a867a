#!/usr/bin/env bash
# Builds the Kestrava Skin Installer and runs the whole test suite twice: as built for users, and
# built with AddressSanitizer and UndefinedBehaviorSanitizer, where any report fails the run.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
kvr_install_deps test

echo "== Build and test (build/)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVR_WERROR=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2

echo "== Build and test under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVR_SANITIZE=ON -DKVR_WERROR=ON >/dev/null
cmake --build build-asan
ASAN_OPTIONS=abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j2
