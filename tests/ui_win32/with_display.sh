#!/bin/sh
# Runs a command with an X display, as a Windows window under wine needs one
# (without, creating the window hangs):
#
#   with_display.sh <command> [arguments...]
#
# DISPLAY is used when it is set; otherwise a private Xvfb is started on a
# free display number for the command and stopped after it.
set -e
if [ -n "${DISPLAY:-}" ]; then
    exec "$@"
fi
command -v Xvfb >/dev/null || { echo "with_display.sh: Xvfb is missing (package xvfb)" >&2; exit 1; }
numbers=$(mktemp)
Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$numbers" 2>/dev/null &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -f "$numbers"' EXIT
for _ in $(seq 100); do
    [ -s "$numbers" ] && break
    sleep 0.05
done
DISPLAY=:$(head -n 1 "$numbers")
[ "$DISPLAY" != ":" ] || { echo "with_display.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY
status=0
"$@" || status=$?
exit $status
