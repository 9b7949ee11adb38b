#!/bin/sh
# Starts the program given, waits until a visible window titled "VARNOLINK"
# belongs to it, then stops it. Run inside xvfb-run.
# Usage: show_window.sh <varnolink-setup>
set -eu
program=$1

fail() { echo "FAIL: $*" >&2; exit 1; }

# No serial device of this machine is probed.
unset VARNOLINK_PORTS
VARNOLINK_NO_SCAN=1 QT_QPA_PLATFORM=xcb "$program" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT

window=$(timeout 30 xdotool search --sync --onlyvisible --name "VARNOLINK" | head -n 1) || true
[ -n "$window" ] || fail "no visible window titled VARNOLINK within 30 s"
owner=$(xdotool getwindowpid "$window")
[ "$owner" = "$pid" ] || fail "the VARNOLINK window belongs to process $owner, not to $pid"
echo "window $window: $(xdotool getwindowname "$window")"

kill -0 "$pid" 2>/dev/null || fail "the program ended while its window was up"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
trap - EXIT
# 143 = ended by SIGTERM; anything else means it died on its own first.
[ "$status" -eq 143 ] || fail "the program ended with status $status, not by SIGTERM"
