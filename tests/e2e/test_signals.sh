#!/usr/bin/env bash
# Asked to end by a signal at any moment from the program's first instruction
# on, the installation ends through its teardown, never by the signal: a
# SIGTERM, SIGINT or SIGHUP that comes as soon as its own code runs (once it
# ignores SIGPIPE, the first thing it does) ends it with status 0 and both
# teardown lines. A standard error whose reader has gone costs the lines
# written there, never the program.
. "$(dirname "$0")/lib.sh"
binary=$1
e2e_start_xvfb

# SIGPIPE is bit 13 of the mask of ignored signals.
own_code_runs() { [ $(( 0x$(awk '/^SigIgn:/ { print $2 }' "/proc/$APP_PID/status" 2>/dev/null || echo 0) & 0x1000 )) -ne 0 ]; }
ends_cleanly() {  # what was done
  e2e_wait_exit 10 || e2e_fail "$1: still running 10 s later"
  [ "$APP_STATUS" -eq 0 ] || e2e_fail "$1: status $APP_STATUS"
  e2e_teardown_last "$1"
}

for signal in TERM INT HUP; do
  e2e_start_app "$binary" TESSARO_CAMERA=demo
  deadline=$((SECONDS + 10))
  until own_code_runs; do [ "$SECONDS" -lt "$deadline" ] || e2e_fail "SIGPIPE still not ignored 10 s after the start"; done
  kill -"$signal" "$APP_PID"
  ends_cleanly "SIG$signal at the start"
  e2e_plain "$APP_STDERR" | grep -q "^tessaro: stopping: " || e2e_fail "SIG$signal at the start: no line saying it stops"
done

env SDL_AUDIODRIVER=dummy TESSARO_CAMERA=demo "$binary" --unattended >"$APP_STDOUT" 2> >(exit 0) &
APP_PID=$!
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window with standard error's reader gone"
sleep 1
kill -0 "$APP_PID" 2>/dev/null || e2e_fail "the program ended when its standard error's reader had gone"
kill -TERM "$APP_PID"
ends_cleanly "standard error's reader gone"
echo "ok: ended by its teardown after signals at the start and with standard error's reader gone"
