#!/usr/bin/env bash
# Screenshots of the main window's context menu, the import dialog with its summary, and the
# skins folder report, taken from the real program on a virtual X display and driven by the
# keyboard: Shift+F10 for the menu, Ctrl+I and a typed path for the import.
#
#   tools/screenshots/take-import.sh [BUILD_DIR]      (PNG files go to docs/screenshots/)
#
# Needs what take.sh needs, and 7z (p7zip-full) for the downloaded archive.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
out=$repo/docs/screenshots
mkdir -p "$out"
# A folder of a fixed name when it is free, so the paths shown stay the same between runs.
work=${TMPDIR:-/tmp}/kvrsi-import-shots
mkdir "$work" 2>/dev/null || work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "take-import.sh: $*" >&2; exit 1; }

# ---- A demo workspace with a few things for the report to find, and a download ----------------

program=$work/program
mkdir -p "$program"
cp "$build/bin/kvrsi" "$build/bin/libunzip32.so" "$build/bin/readme.txt" "$program/"
mapfile -t folders < <("$build/tools/kvrsi-demo" "$work/demo" "$program")
game=${folders[0]}
skins=${folders[1]}
printf '[Skins]\r\nHURR=Desert\r\nMOSQ=Sqn 105\r\nP51D=Big Beautiful Doll\r\n' >>"$program/KVRSI.INI"
# The slots' files as an installation left them, then one changed and one lost.
for pair in "HURR:Desert" "P51D:Big Beautiful Doll"; do
    code=${pair%%:*}
    package=$(find "$skins" -maxdepth 1 -iname "${code}_${pair#*:}.zip" | head -1)
    [ -n "$package" ] && unzip -qq -o -j "$package" -d "$game"
done
first=$(find "$game" -maxdepth 1 -iname 'PHURR*' | head -1)
[ -n "$first" ] && printf 'changed' >>"$first"
second=$(find "$game" -maxdepth 1 -iname 'PP51D*' | head -1)
[ -n "$second" ] && rm -f "$second"
printf 'not a zip' >"$skins/HURR_Old pack.rar"
printf 'x' >"$skins/MOSQ.zip"
printf 'x' >"$skins/XXXX_Mystery.zip"
cp "$(find "$skins" -name '*.jpg' | head -1)" "$skins/Forgotten.jpg"
(cd "$work" && mkdir -p dl/Twin && printf 'a' >dl/Twin/PHURR.TPC && printf 'b' >dl/Twin/PMOSQ.TPC &&
    printf 'c' >dl/Twin/PMOSQ_L.TPC && cp "$(find "$skins" -name '*.jpg' | head -1)" dl/Twin/preview.jpg &&
    cd dl && 7z a -bd -bso0 "$work/twin_engine_pack.7z" Twin)

# ---- Display --------------------------------------------------------------------------------

display=
for n in $(seq 61 99); do
    [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ] && { display=:$n; break; }
done
[ -n "$display" ] || fail "no free display"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 100); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done
xsetroot -solid '#3a4750' 2>/dev/null || true
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done

unset QT_QPA_PLATFORM QT_STYLE_OVERRIDE QT_QPA_PLATFORMTHEME
HOME=$work "$program/kvrsi" >"$work/program.log" 2>&1 &
pid=$!
pids+=("$pid")

wait_window() {
    local id
    id=$(timeout 60 xdotool search --all --sync --onlyvisible --pid "$pid" --name "$1" 2>/dev/null | head -1) || true
    [ -n "$id" ] || fail "no window like '$1'"
    echo "$id"
}
frame() {
    local id=$1 x y w h l=0 r=0 t=0 b=0 e
    x=$(xwininfo -id "$id" | awk '/Absolute upper-left X/ {print $4}')
    y=$(xwininfo -id "$id" | awk '/Absolute upper-left Y/ {print $4}')
    w=$(xwininfo -id "$id" | awk '/^ *Width:/ {print $2}')
    h=$(xwininfo -id "$id" | awk '/^ *Height:/ {print $2}')
    e=$(xprop -id "$id" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= *//p' | tr -d ' ')
    [ -n "$e" ] && IFS=, read -r l r t b <<<"$e"
    echo "$((w + l + r))x$((h + t + b))+$((x - l))+$((y - t))"
}
shoot() { sleep 0.8; import -silent -window root -crop "$(frame "$1")" +repage "$out/$2.png"; echo "saved $out/$2.png" >&2; }
keys() { xdotool key --delay 80 "$@"; sleep 0.5; }

main=$(wait_window ' _ Principal$')
xdotool windowactivate --sync "$main" >/dev/null 2>&1 || true
sleep 1
# The menu pops up over slot 1, inside the main window's frame.
keys shift+F10
shoot "$main" menu
keys Escape

# Import through Ctrl+I: type the archive's path in the file dialog.
keys ctrl+i
dialog=$(wait_window '^Import Packages$')
sleep 0.5
xdotool type --delay 20 "$work/twin_engine_pack.7z"
keys Return
ask=$(wait_window ' _ Import$')
xdotool windowactivate --sync "$ask" >/dev/null 2>&1 || true
# Give the skin a name of its own before importing.
keys Tab
xdotool key ctrl+a
xdotool type --delay 20 "Twin Engine Pack"
shoot "$ask" import-dialog
keys Return
summary=$(wait_window ' _ Import$')
shoot "$summary" import-summary
keys Return

# The report, through the menu's second entry.
xdotool windowactivate --sync "$main" >/dev/null 2>&1 || true
keys shift+F10 Down Down Return
report=$(wait_window ' _ Report$')
sleep 1.5
shoot "$report" report
