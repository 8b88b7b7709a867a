# Shared by the screenshot scripts (source it): a throw-away work folder, a virtual X display with
# a window manager, the real program run from a copy of its folder, and the helpers that find,
# drive and photograph its windows.

log() { printf '%s\n' "$*" >&2; }

# On failure the screen as it stood is kept, to show what went wrong.
fail() {
    local me=${0##*/} screen=${TMPDIR:-/tmp}/kvrsi-screenshots-failure.png
    log "$me: $*"
    if [ -n "${DISPLAY:-}" ] && import -silent -window root "$screen" 2>/dev/null; then
        log "$me: the screen at that moment: $screen"
    fi
    [ -s "${work:-}/openbox.log" ] && { log "$me: openbox said:"; tail -5 "$work/openbox.log" >&2; }
    exit 1
}

# The work folder: of a fixed name when it is free, so the paths the windows show stay the same
# from one run to the next. Everything started from here on is stopped, and the folder removed,
# when the script ends.
session_begin() {
    work=${TMPDIR:-/tmp}/$1
    mkdir "$work" 2>/dev/null || work=$(mktemp -d)
    export XDG_RUNTIME_DIR=$work/runtime
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    pids=()
    trap session_end EXIT
}

session_end() {
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

# A program folder of its own in the work folder, from a build: $program.
copy_program() {
    local build=$1 file
    for file in bin/kvrsi bin/libunzip32.so bin/readme.txt tools/kvrsi-demo; do
        [ -e "$build/$file" ] || { log "No $build/$file: build first (cmake --build $build)"; exit 2; }
    done
    program=$work/program
    mkdir -p "$program"
    cp "$build/bin/kvrsi" "$build/bin/libunzip32.so" "$build/bin/readme.txt" "$program/"
}

# A session named $1 in a demo workspace of the program built in $2: $folders holds the demo's
# game and skins folders; the screenshots' folder $out is made.
demo_session() {
    mkdir -p "$out"
    session_begin "$1"
    copy_program "$2"
    mapfile -t folders < <("$2/tools/kvrsi-demo" "$work/demo" "$program")
}

# A virtual screen of the given size with openbox on it: $DISPLAY.
start_display() {
    local width=$1 height=$2 n display=
    for tool in Xvfb openbox xdotool wmctrl xwininfo xprop import convert; do
        command -v "$tool" >/dev/null || { log "$tool is not installed"; exit 2; }
    done
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
}

# Starts the program as a user would, with the desktop's own look and the files given (as Open
# With does): $program_pid.
start_program() {
    unset QT_QPA_PLATFORM QT_STYLE_OVERRIDE QT_QPA_PLATFORMTHEME
    "$program/kvrsi" "$@" >"$work/program.log" 2>&1 &
    program_pid=$!
    pids+=("$program_pid")
}

# Closes the main window and checks that the program ends well.
end_program() {
    close_window "$1"
    for _ in $(seq 100); do
        kill -0 "$program_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$program_pid" 2>/dev/null && fail "the program did not end when its main window closed"
    wait "$program_pid" || fail "the program ended with status $?: $(cat "$work/program.log")"
}

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
