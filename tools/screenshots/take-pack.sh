#!/usr/bin/env bash
# A screenshot of the window a pack opens in: a squadron's pack handed to the program as a file
# manager's Open With does, compared with the demo workspace before anything is written.
#
#   tools/screenshots/take-pack.sh [BUILD_DIR]      (PNG files go to docs/screenshots/)
#
# Needs what take.sh needs, and python3 to make the pack.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
out=$repo/docs/screenshots
# shellcheck source=tools/screenshots/session.sh
source "$repo/tools/screenshots/session.sh"
demo_session kvrsi-pack-shots "$build"

# ---- The workspace's recorded skins, and a squadron's pack -------------------------------------

skins=${folders[1]}
printf '[Skins]\r\nHURR=Battle of Britain\r\nSP2A=Sqn 19\r\nMOSQ=Sqn105\r\n' >>"$program/KVRSI.INI"
python3 - "$skins" "$work/Squadron night.kvrpack" <<'PY'
import os, sys, zipfile, zlib
skins, target = sys.argv[1], sys.argv[2]
members = {}
def package(code, skin, data=None):
    name = f"{code}_{skin}.zip"
    path = os.path.join(skins, name)
    if data is None:
        data = open(path, "rb").read()
    members[name] = data
    for side in (".jpg", ".txt"):
        if os.path.exists(os.path.join(skins, skin + side)):
            members[skin + side] = open(os.path.join(skins, skin + side), "rb").read()
    return f"{code}={name}|{len(data)}|{zlib.crc32(data):08X}"
CODES = ("HURR SP2A SP09 SP14 TYPH TEMP MOSQ P51B P51D P38H P38J P47C P47D B26A BB17 B24A 109E 109G 109K "
         "110C 110G M410 190A 190D 262A J88A J88C JU87 H111 V1V1").split()
chosen = {"HURR": "Battle of Britain", "SP2A": "Sqn 19", "MOSQ": "Night Intruder", "190A": "Winter",
          "109E": "JG 54"}
def made(files):
    path = os.path.join(os.path.dirname(target), "made.zip")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in files.items():
            z.writestr(name, text)
    return open(path, "rb").read()
# The squadron's own: one this player lacks, and their own version of one the player has.
own = {"109E": made({"P109E.TPC": "JG 54 " * 400}), "190A": made({"P190A.TPC": "squadron winter " * 300})}
lines = ["[Loadout]", "Name=Squadron night", "[Skins]"]
lines += [f"{code}={chosen.get(code, '(Default)')}" for code in CODES]
lines += ["[Packages]"]
lines += [package(c, s, own.get(c)) for c, s in chosen.items()]
with zipfile.ZipFile(target, "w", zipfile.ZIP_STORED) as z:
    z.writestr("Squadron night.kvrloadout", "\r\n".join(lines) + "\r\n")
    for name, data in members.items():
        z.writestr(name, data)
PY

# ---- Display --------------------------------------------------------------------------------

start_display 1280 1024
start_program "$work/Squadron night.kvrpack"
main=$(wait_window ' _ Principal$')
window=$(wait_window ' _ Pack$')
activate "$window"
sleep 1.5
shoot "$window" pack
close_window "$window"
end_program "$main"
