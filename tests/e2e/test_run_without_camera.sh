#!/usr/bin/env bash
# `make run` on a machine with a display and no usable camera: one line says
# the demo camera stands in, after the camera listing that says why a camera
# that is there cannot be used; the installation opens with the demo camera,
# and Escape ends it.
. "$(dirname "$0")/lib.sh"
line="No usable camera found: starting with the built-in demo camera (TESSARO_CAMERA=demo)."
e2e_start_xvfb

# A camera that cannot be opened, and a stand-in for the installation that
# tells which camera it was given.
stub="$E2E_TMP/build"
mkdir -p "$stub"
listing="skipped: /dev/video0: cannot be opened: Permission denied
No usable camera."
printf '#!/bin/sh\necho "%s"\nexit 1\n' "$listing" >"$stub/tessaro-cameras"
printf '#!/bin/sh\necho "camera: ${TESSARO_CAMERA:-none}"\n' >"$stub/tessaro"
chmod +x "$stub/tessaro-cameras" "$stub/tessaro"
env -u TESSARO_CAMERA TESSARO_BUILD_DIR="$stub" timeout -s KILL 10 "$TESSARO_SOURCE_DIR/scripts/run" \
  >"$APP_STDOUT" 2>"$APP_STDERR" || e2e_fail "make run with an unusable camera failed"
[ "$(cat "$APP_STDERR")" = "$listing" ] || e2e_fail "the reason the camera cannot be used was not passed on"
[ "$(cat "$APP_STDOUT")" = "$line
camera: demo" ] || e2e_fail "expected the demo camera line, then the installation with the demo camera"

if ls /dev/video* >/dev/null 2>&1; then
  echo "ok: an unusable camera is named; skipped the real run: this machine has video devices"
  exit 0
fi
unset TESSARO_CAMERA
e2e_start_app "$TESSARO_SOURCE_DIR/scripts/run" TESSARO_BUILD_DIR="$TESSARO_BUILD_DIR"
e2e_dismiss_box "Info:" 15
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
grep -qxF "$line" "$APP_STDOUT" || e2e_fail "no line saying the demo camera stands in"
grep -q "^Selecting the first one: Tessaro demo camera" "$APP_STDOUT" || e2e_fail "the demo camera was not selected"
e2e_key "$win" Escape
e2e_wait_exit 5 || e2e_fail "still running 5 s after Escape"
[ "$APP_STATUS" -eq 27 ] || e2e_fail "status $APP_STATUS after Escape, expected 27"
echo "ok: make run without a usable camera names why and uses the demo camera"
