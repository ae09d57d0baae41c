#!/usr/bin/env bash
# Under a service manager: READY=1 once the installation plays, WATCHDOG=1 at
# the period WATCHDOG_USEC asks for, and STOPPING=1 when it is told to end.
. "$(dirname "$0")/lib.sh"
e2e_start_xvfb
socket="$E2E_TMP/notify"
heard="$E2E_TMP/heard"
five_watchdog_notifications() { [ "$(grep -c '^WATCHDOG=1$' "$heard")" -ge 5 ]; }
/usr/bin/python3 "$E2E_DIR/notify_listen.py" "$socket" "$heard" &
listener=$!
trap 'kill $listener 2>/dev/null; e2e_cleanup' EXIT
e2e_wait_until 5 grep -q LISTENING "$heard" 2>/dev/null

e2e_start_app "$1" --unattended --camera=demo NOTIFY_SOCKET="$socket" WATCHDOG_USEC=400000
e2e_wait_until 15 five_watchdog_notifications
grep -qx "READY=1" "$heard" || e2e_fail "no READY=1"
[ "$(grep -n '^READY=1$' "$heard" | cut -d: -f1)" -lt "$(grep -n '^WATCHDOG=1$' "$heard" | head -1 | cut -d: -f1)" ] ||
  e2e_fail "a watchdog notification came before READY=1"
[ "$(grep -c '^WATCHDOG=1$' "$heard")" -ge 5 ] || e2e_fail "fewer than 5 watchdog notifications"
kill -TERM "$APP_PID"
e2e_wait_exit 5 || e2e_fail "still running 5 s after SIGTERM"
[ "$APP_STATUS" -eq 0 ] || e2e_fail "status $APP_STATUS after SIGTERM"
sleep 0.2
grep -qx "STOPPING=1" "$heard" || e2e_fail "no STOPPING=1"
echo "ok: READY=1, $(grep -c '^WATCHDOG=1$' "$heard") watchdog notifications, STOPPING=1"
