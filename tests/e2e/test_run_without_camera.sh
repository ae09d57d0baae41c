#!/usr/bin/env bash
# `make run` on a machine with a display and no camera: one line says the demo
# camera stands in, the installation opens with it, and Escape ends it.
. "$(dirname "$0")/lib.sh"

if ls /dev/video* >/dev/null 2>&1; then
  echo "skipped: this machine has video devices"
  exit 0
fi
e2e_start_xvfb
unset TESSARO_CAMERA
e2e_start_app "$TESSARO_SOURCE_DIR/scripts/run" TESSARO_BUILD_DIR="$TESSARO_BUILD_DIR"
e2e_dismiss_box "Info:" 15
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
grep -qxF "No camera found: starting with the built-in demo camera (TESSARO_CAMERA=demo)." "$APP_STDOUT" ||
  e2e_fail "no line saying the demo camera stands in"
grep -q "^Selecting the first one: Tessaro demo camera" "$APP_STDOUT" || e2e_fail "the demo camera was not selected"
e2e_key "$win" Escape
e2e_wait_exit 5 || e2e_fail "still running 5 s after Escape"
[ "$APP_STATUS" -eq 27 ] || e2e_fail "status $APP_STATUS after Escape, expected 27"
echo "ok: make run without a camera uses the demo camera"
