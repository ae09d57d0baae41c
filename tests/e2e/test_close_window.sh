#!/usr/bin/env bash
# Closing the window (a window manager's close button) ends the program with
# status 0; keys other than Escape do not end it.
. "$(dirname "$0")/lib.sh"
binary=$1

e2e_start_xvfb
e2e_start_app "$binary" TESSARO_CAMERA="$E2E_NO_CAMERA"
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"

e2e_key "$win" space
e2e_key "$win" a
sleep 0.5
kill -0 "$APP_PID" 2>/dev/null || e2e_fail "the program ended without Escape or close"

e2e_close "$win"
e2e_wait_exit 5 || e2e_fail "still running 5 s after the close request"
[ "$APP_STATUS" -eq 0 ] || e2e_fail "status $APP_STATUS after closing, expected 0"
[ "$APP_EXIT_MS" -lt 2000 ] || e2e_fail "took $APP_EXIT_MS ms to end after closing"
echo "ok: closing the window ended the program in $APP_EXIT_MS ms with status 0"
