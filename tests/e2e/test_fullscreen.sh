#!/usr/bin/env bash
# --fullscreen: the black window covers the whole screen, every pixel of it
# black, and the mouse cursor over it is invisible (the X server's own
# cursor image, read through XFixes); Escape and closing end it as before. A
# display index the machine does not have is one line and status 3.
. "$(dirname "$0")/lib.sh"
binary=$1

# How many pixels of the cursor the X server shows now are not transparent.
cursor_pixels() {
  /usr/bin/python3 -c '
from Xlib import display
d = display.Display()
d.xfixes_query_version()
print(sum(1 for p in d.xfixes_get_cursor_image(d.screen().root).cursor_image if p >> 24))'
}

e2e_start_xvfb
screen=$(xdpyinfo | awk '/dimensions:/ { print $2 }')
[ "$screen" = 1280x1024 ] || e2e_fail "the screen is $screen"
xdotool mousemove 900 700
[ "$(cursor_pixels)" -gt 0 ] || e2e_fail "the bare screen shows no cursor: the check sees nothing"

e2e_start_app "$binary" TESSARO_CAMERA="$E2E_NO_CAMERA" TESSARO_FULLSCREEN=1
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
sleep 1
geometry=$(xwininfo -id "$win")
for field in "Absolute upper-left X:  0" "Absolute upper-left Y:  0" "Width: 1280" "Height: 1024"; do
  grep -qF "$field" <<<"$geometry" || e2e_fail "the window does not cover the screen: $geometry"
done
xdotool mousemove 300 200
sleep 0.3
hidden=$(cursor_pixels)
[ "$hidden" -eq 0 ] || e2e_fail "the cursor shows $hidden pixels over the window"
ffmpeg -loglevel error -nostdin -f x11grab -video_size 1280x1024 -i "$DISPLAY+0,0" -frames:v 1 \
  -f rawvideo -pix_fmt rgb24 -y "$E2E_TMP/screen.rgb" || e2e_fail "ffmpeg could not grab the screen"
lit=$(tr -d '\000' <"$E2E_TMP/screen.rgb" | wc -c)
[ "$lit" -eq 0 ] || e2e_fail "$lit colour bytes of the screen are not black"
e2e_escape_ends_cleanly "$win"

# Closed as a window manager's close button does it.
e2e_start_app "$binary" TESSARO_CAMERA="$E2E_NO_CAMERA" TESSARO_FULLSCREEN=1
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro the second time"
e2e_close "$win"
e2e_wait_exit 5 || e2e_fail "still running 5 s after the close request"
[ "$APP_STATUS" -eq 0 ] || e2e_fail "status $APP_STATUS after closing, expected 0"

# This server has one display, number 0.
e2e_start_app "$binary" TESSARO_CAMERA="$E2E_NO_CAMERA" TESSARO_FULLSCREEN=1 TESSARO_DISPLAY_INDEX=1
e2e_wait_exit 10 || e2e_fail "still running with a display that does not exist"
[ "$APP_STATUS" -eq 3 ] || e2e_fail "status $APP_STATUS for display 1 of 1, expected 3"
[ "$(wc -l <"$APP_STDERR")" -eq 1 ] &&
  grep -qE '^([^ ]+ )?tessaro: there is no display 1: this machine has 1, numbered from 0 \(--display-index\)$' \
    "$APP_STDERR" || e2e_fail "expected one line about display 1, got: $(cat "$APP_STDERR")"
[ -s "$APP_STDOUT" ] && e2e_fail "something was started for a display that does not exist"
echo "ok: the window covers the 1280 x 1024 screen, all black, cursor hidden; Escape, closing, a missing display"
