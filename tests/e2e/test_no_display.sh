#!/usr/bin/env bash
# Without any display the program cannot make its window: it says so and
# ends at once with status 255 instead of waiting for a key nobody can press.
. "$(dirname "$0")/lib.sh"
binary=$1

start=$(e2e_ms)
env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER \
  timeout -s KILL 10 "$binary" >"$APP_STDOUT" 2>"$APP_STDERR"
status=$?
elapsed=$(( $(e2e_ms) - start ))

[ "$status" -ne 137 ] || e2e_fail "still running after 10 s without a display"
[ "$status" -eq 255 ] || e2e_fail "status $status without a display, expected 255"
[ "$elapsed" -lt 1000 ] || e2e_fail "took $elapsed ms to give up, more than a second"
expected="ERROR: registrazione della Window Class fallita."
[ "$(cat "$APP_STDOUT")" = "$expected" ] || e2e_fail "expected exactly '$expected' on standard output"
echo "ok: no display, status 255 after $elapsed ms"
