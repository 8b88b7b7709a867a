#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz/ and runs each for SECONDS (default 60).
# Each target grows a working corpus in build-fuzz/corpus/<target>, seeded from
# fuzz/corpus/<target> and from past findings in tests/data/fuzz/<target>. An input that
# crashes or breaks a check is saved in build-fuzz/findings/<target>/ and the script exits
# non-zero. Before fuzzing, clang-tidy checks src/ with this build (KVR_TIDY=0 skips it).
# See docs/FUZZING.md.
#
#   fuzz/run.sh [SECONDS] [TARGET...]      TARGET: fuzz_profile, fuzz_unzip, fuzz_vdf, fuzz_lutris, fuzz_history,
#                                          fuzz_loadout (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
# The usual build packages, clang and libFuzzer's runtime.
kvr_install_deps fuzz

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_profile fuzz_unzip fuzz_vdf fuzz_lutris fuzz_history fuzz_loadout)

echo "== Build the fuzz targets (build-fuzz/)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

# The same clang reads the sources for clang-tidy (.clang-tidy), through this build's compile
# database; any finding fails the run. KVR_TIDY=0 skips it when only fuzzing.
if [ "${KVR_TIDY:-1}" != 0 ]; then
    tidy_log=build-fuzz/logs/clang-tidy.log
    mkdir -p "$(dirname "$tidy_log")"
    echo "== clang-tidy over src/ (log: $tidy_log)"
    if ! git ls-files -z -- 'src/*.cpp' |
        xargs -0 -n 1 -P "$(nproc)" clang-tidy -p build-fuzz --quiet --warnings-as-errors='*' >"$tidy_log" 2>&1; then
        grep -E '(warning|error): ' "$tidy_log" | sort -u >&2
        echo "clang-tidy findings (full output in $tidy_log)" >&2
        exit 1
    fi
fi

max_len() {
    case "$1" in
        fuzz_unzip) echo 65536 ;;
        *) echo 8192 ;;
    esac
}
dict() {
    case "$1" in
        fuzz_unzip) echo fuzz/zip.dict ;;
        fuzz_profile) echo fuzz/profile.dict ;;
        fuzz_loadout) echo fuzz/loadout.dict ;;
        fuzz_vdf) echo fuzz/vdf.dict ;;
        fuzz_lutris) echo fuzz/yaml.dict ;;
        fuzz_history) echo fuzz/history.dict ;;
    esac
}

# The targets' scratch files, in memory where possible; gone when the script ends, even after
# a finding has cut a target short.
work=$(mktemp -d /dev/shm/kvr-fuzz.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=()
for target in "${targets[@]}"; do
    corpus="build-fuzz/corpus/$target"
    findings="build-fuzz/findings/$target"
    log="build-fuzz/logs/$target.log"
    mkdir -p "$corpus" "$findings" "$(dirname "$log")"
    echo "== $target for ${seconds}s (log: $log)"
    status=0
    # New inputs go to the first folder; the committed seeds and the inputs of past findings
    # (tests/data/fuzz/<target>) are only read.
    seeds=("fuzz/corpus/$target")
    [ -d "tests/data/fuzz/$target" ] && seeds+=("tests/data/fuzz/$target")
    KVR_FUZZ_WORK="$work" ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "build-fuzz/fuzz/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
        -dict="$(dict "$target")" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "   execs: ${execs:-?}, corpus: $(find "$corpus" -type f | wc -l) inputs," \
        "last status: $(grep -E '^#[0-9]+' "$log" | tail -n 1 | tr -s ' ')"
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        echo "   FINDING (exit $status):"
        grep -E '^(fuzz_[a-z]+:|==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)' "$log" | head -n 10 | sed 's/^/   /'
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "Findings in: ${failed[*]} (inputs in build-fuzz/findings/)" >&2
    exit 1
fi
echo "No findings."
