#!/usr/bin/env bash
# Escape in the window ends the program promptly with status 27, and the
# window is the fixed 640 x 480 one at the screen's top-left corner.
. "$(dirname "$0")/lib.sh"
binary=$1

e2e_start_xvfb
e2e_start_app "$binary" TESSARO_CAMERA="$E2E_NO_CAMERA"
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"

geometry=$(xwininfo -id "$win")
for line in "Absolute upper-left X:  0" "Absolute upper-left Y:  0" "Width: 640" "Height: 480"; do
  grep -qF "$line" <<<"$geometry" || e2e_fail "window geometry lacks '$line': $geometry"
done
# A fixed size: minimum and maximum equal, so it cannot be resized or maximised.
hints=$(xprop -id "$win" WM_NORMAL_HINTS)
grep -q "minimum size: 640 by 480" <<<"$hints" || e2e_fail "no fixed minimum size: $hints"
grep -q "maximum size: 640 by 480" <<<"$hints" || e2e_fail "no fixed maximum size: $hints"

sleep 0.5
kill -0 "$APP_PID" 2>/dev/null || e2e_fail "the program ended before Escape"
e2e_key "$win" Escape
e2e_wait_exit 5 || e2e_fail "still running 5 s after Escape"
[ "$APP_STATUS" -eq 27 ] || e2e_fail "status $APP_STATUS after Escape, expected 27"
[ "$APP_EXIT_MS" -lt 2000 ] || e2e_fail "took $APP_EXIT_MS ms to end after Escape"
if grep -q "ERROR" "$APP_STDOUT"; then e2e_fail "error printed"; fi
echo "ok: Escape ended the program in $APP_EXIT_MS ms with status 27"
