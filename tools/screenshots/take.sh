#!/usr/bin/env bash
# Takes a screenshot of every window of the program: the splash, the main window with slot 7's
# list open, the skin viewer with a package chosen, the control panel, help and About.
#
#   tools/screenshots/take.sh [--scale N] [--font-dpi N] [--out DIR] [BUILD_DIR]
#
# BUILD_DIR defaults to build/ and must hold bin/kvrsi, bin/libunzip32.so, bin/readme.txt and
# tools/kvrsi-demo. The real program runs from a throw-away copy of its folder with a demo
# workspace, on a virtual X display with a window manager, and is driven by the keyboard the
# way a user would: Tab through the slots, open a list, press the buttons, close each window.
# PNG files go to DIR (default docs/screenshots/), each cropped to its window and title bar.
#
# --scale N      run under QT_SCALE_FACTOR=N on a screen N times larger (high-density check)
# --font-dpi N   run under QT_FONT_DPI=N (a desktop with larger fonts)
#
# Needs Xvfb, openbox, xdotool, wmctrl, xwininfo, xprop and ImageMagick
# (apt-get install xvfb openbox xdotool wmctrl x11-utils imagemagick).
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
scale=1
font_dpi=
out=$repo/docs/screenshots
build=
while [ $# -gt 0 ]; do
    case $1 in
        --scale) scale=$2; shift 2 ;;
        --font-dpi) font_dpi=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "Unknown option $1" >&2; exit 2 ;;
        *) build=$1; shift ;;
    esac
done
build=$(cd "${build:-$repo/build}" 2>/dev/null && pwd) || { echo "No build folder ${build:-$repo/build}" >&2; exit 2; }
# shellcheck source=tools/screenshots/session.sh
source "$repo/tools/screenshots/session.sh"
mkdir -p "$out"
out=$(cd "$out" && pwd)
session_begin kvrsi-screenshots

# ---- The program folder and its demo workspace -----------------------------------------------

copy_program "$build"
"$build/tools/kvrsi-demo" "$work/demo" "$program" >/dev/null
# A few slots with a skin installed and the rest on the game's own, as after some use.
{
    printf '[Skins]\r\n'
    for code in HURR SP2A SP09 SP14 TYPH TEMP MOSQ P51B P51D P38H P38J P47C P47D B26A BB17 B24A \
                109E 109G 109K 110C 110G M410 190A 190D 262A J88A J88C JU87 H111 V1V1; do
        case $code in
            HURR) skin=Desert ;;
            SP2A) skin='Sqn 19' ;;
            P51D) skin='Big Beautiful Doll' ;;
            109E) skin='JG 26' ;;
            190A) skin=Winter ;;
            *) skin='(Default)' ;;
        esac
        printf '%s=%s\r\n' "$code" "$skin"
    done
} >>"$program/KVRSI.INI"

# ---- The display ----------------------------------------------------------------------------

start_display $((1280 * scale)) $((1024 * scale))

# ---- Drive the program ----------------------------------------------------------------------

export QT_SCALE_FACTOR=$scale
[ -n "$font_dpi" ] && export QT_FONT_DPI=$font_dpi
start_program

# The splash lasts about a second: catch it, hold the program still while it is grabbed.
splash=
for _ in $(seq 300); do
    # The splash has no title of its own; the toolkit names it after the program.
    for id in $(xdotool search --all --onlyvisible --pid "$program_pid" 2>/dev/null); do
        [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "Kestrava Skin Installer" ] && splash=$id
    done
    [ -n "$splash" ] && break
    sleep 0.02
done
[ -n "$splash" ] || fail "the splash window did not show"
for _ in $(seq 40); do
    kill -STOP "$program_pid"
    grab "$splash" "$out/splash.png" client 2>/dev/null || true
    if [ -s "$out/splash.png" ] && not_blank "$out/splash.png"; then
        kill -CONT "$program_pid"
        log "saved $out/splash.png ($(convert "$out/splash.png" -format '%wx%h' info:))"
        break
    fi
    kill -CONT "$program_pid"
    sleep 0.03
done
not_blank "$out/splash.png" || fail "splash.png stays blank"

main=$(wait_window ' _ Principal$')
activate "$main"
# Focus starts in slot 1; slot 7 is six Tabs down the first column. Open its list.
keys Tab Tab Tab Tab Tab Tab
keys alt+Down
sleep 0.5
shoot "$main" main
keys Escape

# From slot 7 to the buttons: slots 8 to 30, then "Reset Skins", "Skin Wiewer".
tabs=()
for _ in $(seq 25); do tabs+=(Tab); done
keys "${tabs[@]}"
keys space
visor=$(wait_window ' _ Wiewer$')
activate "$visor"
# The filter starts with the focus: down to slot 7, then into the list and onto its last entry.
keys Down Down Down Down Down Down Down
keys Tab End
sleep 0.5
shoot "$visor" viewer
close_window "$visor"

# A closed child gives the focus back to the button that opened it: the next button is one Tab on.
activate "$main"
keys Tab space
panel=$(wait_window ' _ Control Panel$')
activate "$panel"
shoot "$panel" controlpanel
close_window "$panel"

activate "$main"
keys Tab space
help=$(wait_window ' _ Help$')
activate "$help"
shoot "$help" help
close_window "$help"

activate "$main"
keys Tab space
about=$(wait_window ' _ About...$')
activate "$about"
shoot "$about" about
close_window "$about"

end_program "$main"
log "done: $out"
