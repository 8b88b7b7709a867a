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
# shellcheck source=tools/screenshots/session.sh
source "$repo/tools/screenshots/session.sh"
demo_session kvrsi-import-shots "$build"

# ---- A demo workspace with a few things for the report to find, and a download ----------------

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

start_display 1280 1024
# The file dialog starts in the home folder: the work folder, where the download lies.
HOME=$work start_program

main=$(wait_window ' _ Principal$')
activate "$main"
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
activate "$ask"
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
activate "$main"
keys shift+F10 Down Down Return
report=$(wait_window ' _ Report$')
sleep 1.5
shoot "$report" report
