#!/usr/bin/env bash
# Builds the Kestrava Skin Installer (installing build dependencies when missing) and starts it.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
kvr_install_deps build

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

# First run: a demo workspace so there is something to try at once.
if [ ! -e build/bin/KVRSI.INI ]; then
    build/tools/kvrsi-demo "$PWD/build/demo" "$PWD/build/bin" >/dev/null
    cat <<MSG
First run: created a demo workspace with a few skin packages.
  game folder:  $PWD/build/demo/game
  skins folder: $PWD/build/demo/skins
Settings are in $PWD/build/bin/KVRSI.INI.
To use your real game, open "Control Panel" in the program, pick the game's folder and your
skins folder with the finger buttons, click "Update KVRSI.INI" and restart the program.
MSG
fi

exec build/bin/kvrsi
