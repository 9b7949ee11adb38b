#!/bin/sh
# SPDX-License-Identifier: MIT
# Smoke test of the real program under a virtual X server: the window comes
# up with its caption, the simulator's pseudo-terminal is in the port list,
# "Open" identifies the simulated module, and the program stays up. What the
# window shows is read from the program's state trace (VARNOLINK_TRACE_STATE),
# the clicks are real X events from xdotool, and a screenshot of the screen
# is kept as an artefact.
#
#   program_smoke.sh <varnolink-setup> <varnolink-sim> <artefact directory>
set -eu

if [ "${1:-}" = "--scaled-inside-x" ]; then
    # The same window at twice the scale: it comes up at twice the size
    # (fonts, controls and border grow together) and stays up; the
    # screenshot is kept for a look at the rendering.
    shift
    setup=$1 out=$2
    QT_SCALE_FACTOR=2 "$setup" 2>"$out/trace-scale2.txt" &
    app=$!
    trap 'kill $app 2>/dev/null || true' EXIT
    window=$(timeout 20 xdotool search --sync --onlyvisible --name 'VARNOLINK I/O') ||
        { echo "FAIL: no window at scale 2" >&2; exit 1; }
    window=$(echo "$window" | head -n 1)
    eval "$(xdotool getwindowgeometry --shell "$window")"
    echo "window at scale 2: ${WIDTH}x${HEIGHT}"
    [ "$WIDTH" -ge 1428 ] && [ "$HEIGHT" -ge 700 ] || { echo "FAIL: window not scaled: ${WIDTH}x${HEIGHT}" >&2; exit 1; }
    sleep 0.5
    import -window "$window" "$out/window-scale2.png"
    [ -s "$out/window-scale2.png" ] || { echo "FAIL: no screenshot at scale 2" >&2; exit 1; }
    kill -0 $app 2>/dev/null || { echo "FAIL: the program did not stay up at scale 2" >&2; exit 1; }
    echo "screenshot: $out/window-scale2.png"
    exit 0
fi

if [ "${1:-}" = "--inside-x" ]; then
    shift
    setup=$1 out=$2
    "$setup" 2>"$out/trace.txt" &
    app=$!
    trap 'kill $app 2>/dev/null || true' EXIT

    fail() { echo "FAIL: $*" >&2; cat "$out/trace.txt" >&2; exit 1; }
    wait_for_trace() {  # <pattern> <what>
        tries=0
        until grep -q -- "$1" "$out/trace.txt"; do
            tries=$((tries + 1))
            [ $tries -lt 300 ] || fail "$2"
            kill -0 $app 2>/dev/null || fail "the program ended while waiting for: $2"
            sleep 0.1
        done
    }
    # Layout positions are below the menu bar: the program traces where its
    # layout stands in the window.
    click() { xdotool mousemove --window "$window" $(($1 + form_x)) $(($2 + form_y)) click 1; }

    window=$(timeout 20 xdotool search --sync --onlyvisible --name 'VARNOLINK I/O') || fail "no window appeared"
    window=$(echo "$window" | head -n 1)
    title=$(xdotool getwindowname "$window")
    [ "$title" = "VARNOLINK I/O (RS485 Control) Setup Configuration Version 1.00a [Update : 15/October/2005]" ] ||
        fail "window caption is '$title'"
    echo "window: $title"
    wait_for_trace "form offset=" "the layout's place in the window"
    offset=$(sed -n 's/^state: form offset=//p' "$out/trace.txt" | head -n 1)
    form_x=${offset%,*} form_y=${offset#*,}

    # The port list (GroupBox3 at 490,0; ComboPort at 89,22, 127 wide).
    click 640 34
    wait_for_trace "ComboPort items=.*$PORT_NAME" "the simulator's port $PORT_NAME in the port list"
    echo "listed: $(grep 'ComboPort items=' "$out/trace.txt" | tail -n 1)"
    sleep 0.3
    xdotool key Down Return
    wait_for_trace "ComboPort shown=$PORT_NAME" "the simulator's port picked"

    # "Open" (7,141 in the group, 76 x 23).
    # On a loaded machine the first click can land before the popup has
    # released the pointer; click again every 5 s until the module answers
    # (a second click on the disabled button of an open port does nothing).
    tries=0
    until grep -q "StatusConnect=Connect OK" "$out/trace.txt"; do
        [ $((tries % 50)) -ne 0 ] || click 535 152
        tries=$((tries + 1))
        [ $tries -lt 300 ] || fail "Connect OK after Open"
        kill -0 $app 2>/dev/null || fail "the program ended while waiting for: Connect OK"
        sleep 0.1
    done
    wait_for_trace "BiosNameDisplay=VARNOLINK I/O" "the simulator's BIOS name"
    echo "connected: $(grep -E 'BiosNameDisplay=|BIOSVersionDisplay=' "$out/trace.txt" | tail -n 2 | tr '\n' ' ')"

    # A configuration for the screenshot: byte fields (438,row top) of both
    # grids, the Remote ID and the remote baud rate, then "SAVE CONFIG", which
    # writes them and reads everything back.
    type_into() { click "$1" "$2"; xdotool type --delay 60 "$3"; }
    type_into 457 34 A5; type_into 457 64 0F; type_into 457 94 F0; type_into 457 123 FF; type_into 457 153 3C
    type_into 457 212 FF; type_into 457 242 81; type_into 457 272 00; type_into 457 301 7E; type_into 457 331 FF
    type_into 668 242 2C
    click 668 272
    sleep 0.3
    xdotool key Down Down Down Down Down Return
    sleep 0.3
    click 542 338
    wait_for_trace "StatusDisplay=Ready" "the configuration read back after SAVE CONFIG"
    sleep 0.5

    kill -0 $app 2>/dev/null || fail "the program did not stay up"
    import -window root "$out/screenshot.png"
    import -window "$window" "$out/window.png"
    [ -s "$out/screenshot.png" ] && [ -s "$out/window.png" ] || fail "no screenshot"
    kill -0 $app 2>/dev/null || fail "the program did not stay up"
    echo "screenshot: $out/screenshot.png"
    exit 0
fi

setup=$1 sim=$2 out=$3
rm -rf "$out"
mkdir -p "$out"

"$sim" >"$out/sim.out" 2>"$out/sim.err" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT INT TERM
tries=0
until device=$(head -n 1 "$out/sim.out") && [ -n "$device" ]; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "FAIL: the simulator did not start" >&2; exit 1; }
    sleep 0.05
done
echo "simulator: $device"

PORT_NAME=${device#/dev/} \
VARNOLINK_NO_SCAN=1 VARNOLINK_PORTS=$device VARNOLINK_TRACE_STATE=1 \
    xvfb-run -a -s "-screen 0 1024x600x24" sh "$0" --inside-x "$setup" "$out"

VARNOLINK_NO_SCAN=1 VARNOLINK_PORTS=$device \
    xvfb-run -a -s "-screen 0 1600x900x24" sh "$0" --scaled-inside-x "$setup" "$out"
