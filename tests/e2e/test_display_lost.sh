#!/usr/bin/env bash
# When the X server goes away the program cannot go on, but it still ends
# cleanly: one line says why, the shutdown's two teardown lines follow, and
# the status is 1.
. "$(dirname "$0")/lib.sh"
binary=$1

e2e_start_xvfb
e2e_start_app "$binary" TESSARO_CAMERA=demo
e2e_dismiss_box "Info:" 15
e2e_find_window Tessaro 15 >/dev/null || e2e_fail "no window titled Tessaro"
sleep 1
kill -0 "$APP_PID" 2>/dev/null || e2e_fail "the program ended on its own"
kill -KILL "$XVFB_PID"
wait "$XVFB_PID" 2>/dev/null
e2e_wait_exit 5 || e2e_fail "still running 5 s after the X server went away"
[ "$APP_STATUS" -eq 1 ] || e2e_fail "status $APP_STATUS after losing the X server, expected 1"
e2e_teardown_last "after losing the X server"
e2e_plain "$APP_STDERR" | grep -qxF "display: the connection to the X server is lost: ending." ||
  e2e_fail "no line saying the X server was lost"
echo "ok: losing the X server ended the program in $APP_EXIT_MS ms with its teardown lines and status 1"
