#!/usr/bin/env bash
# The window shows black, every pixel of its 640 x 480, from start-up on:
# nothing is drawn after the scene set-up presented its black buffers.
. "$(dirname "$0")/lib.sh"
binary=$1

# A screenshot of the window's area as raw RGB bytes into $2.
grab() {
  ffmpeg -loglevel error -nostdin -f x11grab -video_size 640x480 -i "$DISPLAY+$1" \
    -frames:v 1 -f rawvideo -pix_fmt rgb24 -y "$2" || e2e_fail "ffmpeg could not grab the screen"
  [ "$(stat -c %s "$2")" -eq $((640 * 480 * 3)) ] || e2e_fail "screenshot has the wrong size"
}
lit_bytes() { tr -d '\000' <"$1" | wc -c; }

e2e_start_xvfb
# A white screen behind the window: a grab that missed the window, or a
# window that showed what lies beneath it, would not be black.
/usr/bin/python3 -c '
from Xlib import display
d = display.Display(); screen = d.screen()
screen.root.change_attributes(background_pixel=screen.white_pixel)
screen.root.clear_area(); d.sync()' || e2e_fail "could not whiten the screen"
grab 0,0 "$E2E_TMP/before.rgb"
[ "$(lit_bytes "$E2E_TMP/before.rgb")" -eq $((640 * 480 * 3)) ] || e2e_fail "the bare screen does not grab as white"

e2e_start_app "$binary" TESSARO_CAMERA="$E2E_NO_CAMERA"
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
geometry=$(xwininfo -id "$win")
x=$(awk '/Absolute upper-left X:/ { print $4 }' <<<"$geometry")
y=$(awk '/Absolute upper-left Y:/ { print $4 }' <<<"$geometry")
grep -qF "Width: 640" <<<"$geometry" && grep -qF "Height: 480" <<<"$geometry" ||
  e2e_fail "window is not 640 x 480: $geometry"

# Once start-up has finished, and again a little later.
for shot in 1 2; do
  sleep 1
  kill -0 "$APP_PID" 2>/dev/null || e2e_fail "the program ended on its own"
  grab "$x,$y" "$E2E_TMP/window$shot.rgb"
  lit=$(lit_bytes "$E2E_TMP/window$shot.rgb")
  [ "$lit" -eq 0 ] || e2e_fail "screenshot $shot: $lit colour bytes of the window are not black"
done

e2e_key "$win" Escape
e2e_wait_exit 5 || e2e_fail "still running 5 s after Escape"
echo "ok: all 640 x 480 pixels of the window are black"
