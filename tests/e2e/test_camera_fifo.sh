#!/usr/bin/env bash
# A FIFO named as the camera would block the start-up in open() for ever and
# leave Escape unheard: it is refused in one line at once, and the
# installation runs on without a camera.
. "$(dirname "$0")/lib.sh"
binary=$1

e2e_start_xvfb
fifo="$E2E_TMP/camera.mkv"
mkfifo "$fifo"
e2e_start_app "$binary" TESSARO_CAMERA="$fifo"
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
e2e_wait_until 5 grep -q "^No compatible devices found" "$APP_STDOUT"
e2e_plain "$APP_STDERR" | grep -qxF "camera: Cannot use video file $fifo as a camera: not a regular file" ||
  e2e_fail "no line refusing the FIFO"
grep -qxF "No compatible devices found. Please install a web camera." "$APP_STDOUT" ||
  e2e_fail "the start-up did not go on without a camera"
e2e_escape_ends_cleanly "$win"
echo "ok: a FIFO as the camera is refused at once and Escape ends the program"
