#!/usr/bin/env bash
# Screenshots of the main window's context menu with Undo Last Change and History..., and of the
# History window after a few changes, taken from the real program on a virtual X display and
# driven by the keyboard.
#
#   tools/screenshots/take-history.sh [BUILD_DIR]      (PNG files go to docs/screenshots/)
#
# Needs what take.sh needs.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
out=$repo/docs/screenshots
# shellcheck source=tools/screenshots/session.sh
source "$repo/tools/screenshots/session.sh"
demo_session kvrsi-history-shots "$build"


start_display 1280 1024
start_program
main=$(wait_window ' _ Principal$')
activate "$main"
sleep 1

# Three slot changes from the keyboard: the first skin of the first three slots' lists.
for _ in 1 2 3; do
    keys alt+Down
    keys Down Return
    sleep 0.5
    keys Tab
done
# Ctrl+Z undoes the last of them. It runs in the background, and the menu's Undo Last Change is
# off until it is done: the walk down the menu below counts on it being on again.
keys ctrl+z
sleep 1.5

keys shift+F10 Down Down Down Down
shoot "$main" history-menu
keys Down Return
history=$(wait_window ' _ History$')
sleep 1.5
activate "$history"
keys Tab Down
shoot "$history" history
close_window "$history"
end_program "$main"
