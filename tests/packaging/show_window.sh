#!/bin/sh
# SPDX-License-Identifier: MIT
# Starts the program given, waits until a visible window titled "VARNOLINK"
# belongs to it, checks the window's class against the desktop entry's
# StartupWMClass (docks match windows to entries by it), then stops it.
# Run inside xvfb-run.
# Usage: show_window.sh <varnolink-setup> <expected WM_CLASS class>
set -eu
program=$1
wm_class=$2

. "$(dirname "$0")/check_common.sh"

# The X server must take connections before the program starts: a program
# that finds no display ends, and that is not what this checks.
tries=0
until xdotool getdisplaygeometry >/dev/null 2>&1; do
    [ $tries -lt 100 ] || fail "the X server on $DISPLAY takes no connections"
    tries=$((tries + 1))
    sleep 0.1
done

# No serial device of this machine is probed.
unset VARNOLINK_PORTS
VARNOLINK_NO_SCAN=1 QT_QPA_PLATFORM=xcb "$program" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT

# Poll for the window for up to 30 s, giving up at once if the program ends.
window=""
tries=0
while [ -z "$window" ]; do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" || true; fail "the program ended before showing its window"; }
    [ $tries -lt 300 ] || fail "no visible window titled VARNOLINK within 30 s"
    tries=$((tries + 1))
    sleep 0.1
    window=$(xdotool search --onlyvisible --name "VARNOLINK" 2>/dev/null | head -n 1) || true
done
owner=$(xdotool getwindowpid "$window")
[ "$owner" = "$pid" ] || fail "the VARNOLINK window belongs to process $owner, not to $pid"
echo "window $window: $(xdotool getwindowname "$window")"
class=$(xprop -id "$window" WM_CLASS | sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\([^"]*\)"$/\1/p')
[ "$class" = "$wm_class" ] || fail "window class \"$class\", the desktop entry expects \"$wm_class\""

kill -0 "$pid" 2>/dev/null || fail "the program ended while its window was up"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
trap - EXIT
# 143 = ended by SIGTERM; anything else means it died on its own first.
[ "$status" -eq 143 ] || fail "the program ended with status $status, not by SIGTERM"
