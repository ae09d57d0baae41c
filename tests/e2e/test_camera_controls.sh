#!/usr/bin/env bash
# The camera controls from a settings file and the environment reach the
# camera layer of the real program: the demo camera, which has none, says so
# in one line and the installation runs on. A control setting that is not
# NAME=VALUE stops the start with one line and status 2.
. "$(dirname "$0")/lib.sh"
e2e_start_xvfb
conf="$E2E_TMP/tessaro.conf"
printf 'camera-control = auto_exposure=1, exposure_time_absolute=250\n' >"$conf"
e2e_start_app "$1" --unattended --camera=demo --config="$conf" TESSARO_HOLD_EXPOSURE=2
e2e_wait_until 10 grep -q "tessaro: started:" "$APP_STDERR" >/dev/null || e2e_fail "no start line"
kill -TERM "$APP_PID"
e2e_wait_exit 5 || e2e_fail "still running 5 s after kill"
[ "$APP_STATUS" -eq 0 ] || e2e_fail "status $APP_STATUS after kill"
[ "$(e2e_plain "$APP_STDERR" | grep -c '^camera: ')" -eq 1 ] &&
  e2e_plain "$APP_STDERR" | grep -qxF "camera: Tessaro demo camera has no controls: none is set or held" ||
  e2e_fail "expected one line saying the demo camera has no controls: $(cat "$APP_STDERR")"

e2e_start_app "$1" --unattended --camera=demo --config=/dev/null TESSARO_CAMERA_CONTROL="exposure 250"
e2e_wait_exit 5 || e2e_fail "a malformed control setting held the start"
[ "$APP_STATUS" -eq 2 ] || e2e_fail "status $APP_STATUS for a malformed control setting, expected 2"
[ "$(wc -l <"$APP_STDERR")" -eq 1 ] && grep -q "TESSARO_CAMERA_CONTROL takes NAME=VALUE" "$APP_STDERR" ||
  e2e_fail "expected one line naming TESSARO_CAMERA_CONTROL: $(cat "$APP_STDERR")"
echo "ok: control settings reach the camera, which says it has none; a malformed one is status 2"
