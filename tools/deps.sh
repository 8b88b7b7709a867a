#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Sourced by run.sh, test.sh, bench/run.sh, fuzz/run.sh and .ci/run:
# "kvr_install_deps build|test|fuzz|format".
#
# KVR_NO_INSTALL=1 skips all of it (another distribution, or packages managed by hand). Run as
# another user than root, it asks before it uses sudo when there is a terminal to ask on, and
# otherwise prints the command to run and fails.
set -euo pipefail

KVR_BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-svg-dev libzip-dev libdeflate-dev libgl-dev
    libarchive-dev libyaml-dev zlib1g-dev libssl-dev)
# The package's tests build the .deb and check it and the desktop's files.
KVR_TEST_PACKAGES=(unzip zip p7zip-full dpkg-dev desktop-file-utils appstream shared-mime-info lintian)
# clang-tidy runs on the fuzz build's compile database in CI.
KVR_FUZZ_PACKAGES=(clang libclang-rt-14-dev clang-tidy git)
KVR_FORMAT_PACKAGES=(clang-format)

kvr_install_deps() {
    if [ "${KVR_NO_INSTALL:-0}" = 1 ]; then
        return 0
    fi
    local wanted=("${KVR_BUILD_PACKAGES[@]}")
    case "${1:-build}" in
        test) wanted+=("${KVR_TEST_PACKAGES[@]}") ;;
        fuzz) wanted+=("${KVR_FUZZ_PACKAGES[@]}") ;;
        format) wanted+=("${KVR_FORMAT_PACKAGES[@]}") ;;
    esac
    local missing=()
    local pkg
    for pkg in "${wanted[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local howto="apt-get update; apt-get install --no-install-recommends ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1 || [ ! -t 0 ]; then
            echo "Missing packages: ${missing[*]}" >&2
            echo "Install them as root ($howto)," >&2
            echo "or set KVR_NO_INSTALL=1 to go on without installing." >&2
            return 1
        fi
        local answer
        read -r -p "Missing packages: ${missing[*]}. Install them with sudo apt-get? [y/N] " answer
        case "$answer" in
            [yY] | [yY][eE][sS]) sudo=(sudo) ;;
            *)
                echo "Not installing. Run as root: $howto (or set KVR_NO_INSTALL=1)." >&2
                return 1
                ;;
        esac
    else
        echo "Installing missing packages: ${missing[*]}"
    fi
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}
