#!/usr/bin/env bash
# Unpacks a set of ordinary archives made by Info-ZIP's zip with our unzip32 library and with
# `unzip -j -o -qq`, and compares the files that land: names, bytes and modification times.
#
#   tools/compare-unzip.sh [BUILD_DIR]     (default: build; needs BUILD_DIR/tools/unzip32-cli)
#
# Prints one line per archive and a verdict; exits non-zero when any result differs.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" 2>/dev/null && pwd) || { echo "No build folder ${1:-$repo/build}" >&2; exit 2; }
driver=$build/tools/unzip32-cli
if [ ! -x "$driver" ]; then
    echo "No $driver: build first (cmake --build $build)" >&2
    exit 2
fi
for tool in zip unzip; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed (apt-get install $tool)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The files the archives are made of: text, random bytes, a large file, empty files, names
# that collide once folders are dropped, and many small files.
mkdir -p src/skins/MOSQ src/skins/SPIT src/docs src/many
printf 'Mosquito desert skin\r\n' > src/docs/readme.txt
head -c 20000 /dev/urandom > src/skins/MOSQ/PMOSQ1.TPC
head -c 70000 /dev/urandom > src/skins/SPIT/PSPIT1.TPC
seq 1 700000 > src/skins/big.3dz
: > src/skins/empty.txt
printf 'first\n' > src/skins/MOSQ/same.txt
printf 'second, wins\n' > src/skins/SPIT/same.txt
for i in $(seq 1 400); do printf 'member %d\n' "$i" > "src/many/P$i.TPC"; done
touch -d '2020-02-29 13:45:10' src/docs/readme.txt
touch -d '1999-12-31 23:59:58' src/skins/MOSQ/PMOSQ1.TPC
printf '%512s' 'MZ a self-extractor stub' > stub

(
    cd src
    zip -q -r -0 ../stored.zip docs skins
    zip -q -r -9 ../deflated.zip docs skins
    zip -q -r ../many.zip many docs
    zip -q -r -fz ../zip64.zip docs skins
    zip -q -r -Z bzip2 ../bzip2.zip docs skins
    zip -q -r ../comment.zip docs skins
    printf 'A skin package\nwith a comment\n' | zip -q -z ../comment.zip
    zip -q -D ../no-folder-entries.zip skins/MOSQ/* docs/readme.txt
    zip -q ../streamed.zip - < skins/big.3dz
)
cat stub deflated.zip > sfx-unadjusted.zip
cat stub deflated.zip > sfx-adjusted.zip
zip -q -A sfx-adjusted.zip

listing() { (cd "$1" && find . -type f -printf '%P %s %T@\n' | LC_ALL=C sort); }

archives=(stored deflated many zip64 bzip2 comment no-folder-entries streamed sfx-adjusted sfx-unadjusted)
differ=0
for name in "${archives[@]}"; do
    mkdir "ours-$name" "theirs-$name"
    ours_status=0
    "$driver" "$name.zip" "ours-$name" || ours_status=$?
    unzip -j -o -qq "$name.zip" -d "theirs-$name" 2>/dev/null || true
    count=$(find "ours-$name" -type f | wc -l)
    if [ "$ours_status" -ne 0 ] || [ "$count" -eq 0 ]; then
        echo "FAILED   $name.zip (status $ours_status, $count files)"
        differ=$((differ + 1))
    elif diff -r "theirs-$name" "ours-$name" >/dev/null &&
        [ "$(listing "theirs-$name")" = "$(listing "ours-$name")" ]; then
        echo "same     $name.zip ($count files)"
    else
        echo "DIFFERS  $name.zip"
        diff <(listing "theirs-$name") <(listing "ours-$name") | sed 's/^/         /' || true
        differ=$((differ + 1))
    fi
done

if [ "$differ" -eq 0 ]; then
    echo "All ${#archives[@]} archives unpack alike."
else
    echo "$differ of ${#archives[@]} archives unpack differently."
    exit 1
fi
