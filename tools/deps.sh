#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Sourced by run.sh, test.sh and fuzz/run.sh: "kvr_install_deps build|test|fuzz".
set -euo pipefail

KVR_BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-svg-dev libzip-dev libdeflate-dev libgl-dev libarchive-dev libyaml-dev zlib1g-dev)
KVR_TEST_PACKAGES=(unzip zip p7zip-full)
KVR_FUZZ_PACKAGES=(clang libclang-rt-14-dev)

kvr_install_deps() {
    local wanted=("${KVR_BUILD_PACKAGES[@]}")
    case "${1:-build}" in
        test) wanted+=("${KVR_TEST_PACKAGES[@]}") ;;
        fuzz) wanted+=("${KVR_FUZZ_PACKAGES[@]}") ;;
    esac
    local missing=()
    local pkg
    for pkg in "${wanted[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "These packages are missing and this user cannot install them: ${missing[*]}" >&2
            echo "Install them as root: apt-get install ${missing[*]}" >&2
            return 1
        fi
    fi
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}
