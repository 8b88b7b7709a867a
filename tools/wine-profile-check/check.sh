#!/bin/sh
# Puts the questions of cases.txt to the platform's profile service under Wine and to our own
# reader and writer, and shows where the answers differ. Run by hand; CI does not need Wine.
#
#   tools/wine-profile-check/check.sh [build folder]    (default: build)
#
# Needs gcc-mingw-w64-x86-64 and wine (64-bit) to ask Wine; without them the answers Wine 8.0
# gave, recorded in wine-8.0.txt, stand in. Needs the build folder's libkvrcore.a for ours.
# Outputs land in $OUT (default: a new temporary folder): wine.txt, ours.txt, diff.txt.
# docs/settings-file.md explains each difference.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
out=${OUT:-$(mktemp -d)}
mkdir -p "$out"

# shellcheck disable=SC2046
g++ -std=c++20 -O1 -Wall -Wextra -fPIC -DQT_NO_CAST_FROM_ASCII -I"$repo/src" $(pkg-config --cflags Qt6Core) \
    -o "$out/ours" "$here/ours.cpp" "$build/src/libkvrcore.a" $(pkg-config --libs Qt6Core) -ldl
rm -rf "$out/ours.d" && mkdir -p "$out/ours.d"
(cd "$out/ours.d" && "$out/ours" "$here/cases.txt" > "$out/ours.txt")

if command -v wine > /dev/null && command -v x86_64-w64-mingw32-gcc > /dev/null; then
    x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -o "$out/probe.exe" "$here/probe.c"
    # A prefix of our own, so the user's ~/.wine is never touched. Its first start takes a while.
    export WINEPREFIX="${WINEPREFIX:-$out/prefix}" WINEDEBUG=-all
    rm -rf "$out/wine.d" && mkdir -p "$out/wine.d"
    (cd "$out/wine.d" && wine "$out/probe.exe" "$here/cases.txt" > "$out/wine.txt")
    cmp -s "$out/wine.txt" "$here/wine-8.0.txt" || echo "note: Wine answers differently from wine-8.0.txt"
else
    echo "wine or the MinGW compiler is missing: comparing with the answers recorded in wine-8.0.txt"
    cp "$here/wine-8.0.txt" "$out/wine.txt"
fi

if diff -u "$out/wine.txt" "$out/ours.txt" > "$out/diff.txt"; then
    echo "no differences ($out)"
else
    cat "$out/diff.txt"
    echo "differences above; outputs in $out"
fi
