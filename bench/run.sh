#!/usr/bin/env bash
# Builds in Release, generates the data under /tmp/kvr-bench (kept between runs) and prints the
# table of figures, with ours/reference ratios measured in the same run.
#
#   bench/run.sh [RUNS]     RUNS: runs per figure, median taken (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
kvr_install_deps test

cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/ {print $2}') GiB"
echo "Command: bench/run.sh ${1:-5}   ($(date -u +%Y-%m-%d))"
QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='qt.qpa.*=false' build-bench/bench/kvrbench /tmp/kvr-bench "${1:-5}"
build-bench/bench/kvrpackbench /tmp/kvr-bench "${1:-5}"
