#!/usr/bin/env bash
# A screenshot of the Loadouts window with one loadout selected, taken from the real program on a
# virtual X display and driven by the keyboard: Shift+F10 for the main window's menu, then
# "Loadouts...", then the first loadout of the list.
#
#   tools/screenshots/take-loadouts.sh [BUILD_DIR]      (PNG files go to docs/screenshots/)
#
# Needs what take.sh needs, and python3 for the packages' CRCs.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
out=$repo/docs/screenshots
# shellcheck source=tools/screenshots/session.sh
source "$repo/tools/screenshots/session.sh"
demo_session kvrsi-loadout-shots "$build"

# ---- A demo workspace with skins recorded and three loadouts ----------------------------------

skins=${folders[1]}
printf '[Skins]\r\nHURR=Battle of Britain\r\nSP2A=Sqn 19\r\nMOSQ=Sqn105\r\n190A=Winter\r\n' >>"$program/KVRSI.INI"
mkdir -p "$program/loadouts"
python3 - "$skins" "$program/loadouts" <<'PY'
import os, sys, zlib
skins, folder = sys.argv[1], sys.argv[2]
def package(code, skin, wrong=False):
    name = f"{code}_{skin}.zip"
    path = os.path.join(skins, name)
    data = open(path, "rb").read() if os.path.exists(path) else b""
    crc = zlib.crc32(data) ^ (1 if wrong else 0)
    return f"{code}={name}|{len(data)}|{crc:08X}"
def loadout(name, chosen, wrong=()):
    lines = ["[Loadout]", f"Name={name}", "[Skins]"]
    lines += [f"{code}={chosen.get(code, '(Default)')}" for code in CODES]
    lines += ["[Packages]"]
    lines += [package(c, s, c in wrong) for c, s in chosen.items()]
    with open(os.path.join(folder, name + ".kvrloadout"), "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")
CODES = ("HURR SP2A SP09 SP14 TYPH TEMP MOSQ P51B P51D P38H P38J P47C P47D B26A BB17 B24A 109E 109G 109K "
         "110C 110G M410 190A 190D 262A J88A J88C JU87 H111 V1V1").split()
loadout("Desert 1941", {"HURR": "Desert", "SP2A": "Sqn 19", "TYPH": "Sand", "MOSQ": "Night Intruder",
                        "P51D": "Big Beautiful Doll", "109E": "JG 26", "190A": "Winter"}, wrong=("P51D",))
loadout("Battle of Britain", {"HURR": "Battle of Britain", "SP2A": "Sqn 19", "109E": "JG 26"})
loadout("Squadron night", {"MOSQ": "Night Intruder", "190A": "Winter"})
PY

# ---- Display --------------------------------------------------------------------------------

start_display 1280 1024
start_program

main=$(wait_window ' _ Principal$')
activate "$main"
sleep 1
keys shift+F10 Down Down Down Return
window=$(wait_window ' _ Loadouts$')
activate "$window"
# The list has the focus: its second loadout, in the order of names.
keys Home Down
sleep 1.5
shoot "$window" loadouts
close_window "$window"
end_program "$main"
