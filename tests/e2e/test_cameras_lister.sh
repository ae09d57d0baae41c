#!/usr/bin/env bash
# tessaro-cameras as `make run` and a person use it: what it prints for each
# kind of TESSARO_CAMERA, and its status (0: a camera can be used).
. "$(dirname "$0")/lib.sh"
lister="$TESSARO_BUILD_DIR/tessaro-cameras"

check() {  # choice, expected status, expected output
  local out status
  out=$(TESSARO_CAMERA="$1" "$lister" 2>"$E2E_TMP/err")
  status=$?
  [ "$status" -eq "$2" ] || e2e_fail "TESSARO_CAMERA=$1: status $status, expected $2"
  [ "$out" = "$3" ] || e2e_fail "TESSARO_CAMERA=$1 printed:
$out
expected:
$3"
  [ ! -s "$E2E_TMP/err" ] || e2e_fail "TESSARO_CAMERA=$1 wrote to standard error: $(cat "$E2E_TMP/err")"
}

check demo 0 "0: demo: Tessaro demo camera (built in)
  mode 0: 640 x 480 @ 30 fps (GREY)"
check /dev/null 1 "skipped: /dev/null: not a V4L2 device (Inappropriate ioctl for device)
No usable camera."
check /dev/video97 1 "skipped: /dev/video97: cannot be opened: No such file or directory
No usable camera."
check "$E2E_TMP/missing.mp4" 1 "skipped: $E2E_TMP/missing.mp4: cannot be used as a video file: No such file or directory
No usable camera."
out=$(TESSARO_CAMERA=demo "$lister" --controls) || e2e_fail "--controls: status $?"
[ "$out" = "0: demo: Tessaro demo camera (built in)
  mode 0: 640 x 480 @ 30 fps (GREY)
  controls: none" ] || e2e_fail "--controls printed:
$out"
echo "ok: the lister names cameras, their modes and why one cannot be used, with its status"
