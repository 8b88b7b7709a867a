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
for file in bin/kvrsi bin/libunzip32.so bin/readme.txt tools/kvrsi-demo; do
    [ -e "$build/$file" ] || { echo "No $build/$file: build first (cmake --build $build)" >&2; exit 2; }
done
for tool in Xvfb openbox xdotool wmctrl xwininfo xprop import convert; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

# A folder of a fixed name when it is free, so the paths the control panel shows stay the same
# from one run to the next.
work=${TMPDIR:-/tmp}/kvrsi-screenshots
mkdir "$work" 2>/dev/null || work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -CONT "$pid" 2>/dev/null || true
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

log() { printf '%s\n' "$*" >&2; }
# On failure the screen as it stood is kept, to show what went wrong.
fail() {
    local screen=${TMPDIR:-/tmp}/kvrsi-screenshots-failure.png
    log "take.sh: $*"
    if [ -n "${DISPLAY:-}" ] && import -silent -window root "$screen" 2>/dev/null; then
        log "take.sh: the screen at that moment: $screen"
    fi
    [ -s "${work:-}/openbox.log" ] && { log "take.sh: openbox said:"; tail -5 "$work/openbox.log" >&2; }
    exit 1
}

# ---- The program folder and its demo workspace -----------------------------------------------

program=$work/program
mkdir -p "$program"
cp "$build/bin/kvrsi" "$build/bin/libunzip32.so" "$build/bin/readme.txt" "$program/"
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

width=$((1280 * scale))
height=$((1024 * scale))
display=
for n in $(seq 61 99); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
        display=:$n
        break
    fi
done
[ -n "$display" ] || fail "no free X display number between :61 and :99"
# -noreset: the server must not start over each time a short-lived client (xwininfo) leaves.
Xvfb "$display" -screen 0 "${width}x${height}x24" -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 100); do
    xwininfo -root >/dev/null 2>&1 && break
    sleep 0.1
done
xwininfo -root >/dev/null 2>&1 || fail "Xvfb did not start on $display: $(cat "$work/xvfb.log")"
# A neutral desktop behind the windows, so the crops show only window edges.
xsetroot -solid '#3a4750' 2>/dev/null || true
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done
xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' || fail "openbox did not start"

# ---- Helpers --------------------------------------------------------------------------------

# The window manager's frame around a client window: "X Y WIDTH HEIGHT" in root coordinates.
frame_geometry() {
    local id=$1 x y w h left=0 right=0 top=0 bottom=0 extents
    x=$(xwininfo -id "$id" | awk '/Absolute upper-left X/ {print $4}')
    y=$(xwininfo -id "$id" | awk '/Absolute upper-left Y/ {print $4}')
    w=$(xwininfo -id "$id" | awk '/^ *Width:/ {print $2}')
    h=$(xwininfo -id "$id" | awk '/^ *Height:/ {print $2}')
    extents=$(xprop -id "$id" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= *//p' | tr -d ' ')
    if [ -n "$extents" ]; then
        IFS=, read -r left right top bottom <<<"$extents"
    fi
    echo "$((x - left)) $((y - top)) $((w + left + right)) $((h + top + bottom))"
}

# Grabs the screen and crops it to a window (with its frame unless asked otherwise).
grab() {
    local id=$1 file=$2 frame=${3:-frame} x y w h
    if [ "$frame" = frame ]; then
        read -r x y w h < <(frame_geometry "$id")
    else
        x=$(xwininfo -id "$id" | awk '/Absolute upper-left X/ {print $4}')
        y=$(xwininfo -id "$id" | awk '/Absolute upper-left Y/ {print $4}')
        w=$(xwininfo -id "$id" | awk '/^ *Width:/ {print $2}')
        h=$(xwininfo -id "$id" | awk '/^ *Height:/ {print $2}')
    fi
    import -silent -window root -crop "${w}x${h}+${x}+${y}" +repage "$file"
}

# True when a picture holds a real drawing: many colours and no large flat area of one colour
# (a window that has not painted yet is black or plain grey).
not_blank() {
    local file=$1 colours top
    colours=$(convert "$file" -format '%k' info:)
    top=$(convert "$file" -format %c histogram:info:- | sort -rn | head -1 | awk '{print $1+0}')
    local total
    total=$(convert "$file" -format '%w*%h' info:)
    total=$((total))
    [ "$colours" -ge 24 ] && [ "$top" -lt $((total * 9 / 10)) ]
}

# Waits for a visible window of the program whose title matches a pattern; prints its id.
wait_window() {
    local pattern=$1 seconds=${2:-60} id
    id=$(timeout "$seconds" xdotool search --all --sync --onlyvisible --pid "$program_pid" --name "$pattern" 2>/dev/null |
         head -1) || true
    [ -n "$id" ] || fail "no window titled like '$pattern' within ${seconds}s"
    echo "$id"
}

wait_gone() {
    local id=$1
    for _ in $(seq 200); do
        xwininfo -id "$id" 2>/dev/null | grep -q 'IsViewable' || return 0
        sleep 0.1
    done
    fail "the window '$(xdotool getwindowname "$id" 2>/dev/null)' did not close"
}

# Shots the window once it has painted (retrying while it is still blank) and checks it.
shoot() {
    local id=$1 name=$2 frame=${3:-frame}
    for _ in $(seq 50); do
        grab "$id" "$out/$name.png" "$frame"
        not_blank "$out/$name.png" && { log "saved $out/$name.png ($(convert "$out/$name.png" -format '%wx%h' info:))"; return 0; }
        sleep 0.2
    done
    fail "$name.png stays blank"
}

# Brings a window to the front with the keyboard focus, as a click on it would.
activate() {
    xdotool windowactivate --sync "$1" >/dev/null 2>&1 || xdotool windowfocus --sync "$1"
    sleep 0.3
}

# Presses keys in the active window, slowly enough for a busy machine.
keys() {
    xdotool key --delay 60 "$@"
    sleep 0.4
}

# Closes a window with its title bar's close box (the window manager asks the program).
close_window() {
    wmctrl -i -c "$1"
    wait_gone "$1"
    sleep 0.5
}

# ---- Drive the program ----------------------------------------------------------------------

export QT_SCALE_FACTOR=$scale
[ -n "$font_dpi" ] && export QT_FONT_DPI=$font_dpi
unset QT_QPA_PLATFORM QT_STYLE_OVERRIDE QT_QPA_PLATFORMTHEME
"$program/kvrsi" >"$work/program.log" 2>&1 &
program_pid=$!
pids+=("$program_pid")

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

close_window "$main"
for _ in $(seq 100); do
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$program_pid" 2>/dev/null && fail "the program did not end when its main window closed"
wait "$program_pid" || fail "the program ended with status $?: $(cat "$work/program.log")"
log "done: $out"
