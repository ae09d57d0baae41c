#!/usr/bin/env bash
# The window shows black, every pixel of its 640 x 480, at all times: from
# start-up on, after the "Info:" box that covered part of it is answered, and
# after it was unmapped and mapped again (as minimising and restoring do) over
# a white screen. Whatever covered it must not stay in it. Unmapped, it waits
# rather than polling.
. "$(dirname "$0")/lib.sh"
binary=$1

# A screenshot of the window's area as raw RGB bytes into $2.
grab() {
  ffmpeg -loglevel error -nostdin -f x11grab -video_size 640x480 -i "$DISPLAY+$1" \
    -frames:v 1 -f rawvideo -pix_fmt rgb24 -y "$2" || e2e_fail "ffmpeg could not grab the screen"
  [ "$(stat -c %s "$2")" -eq $((640 * 480 * 3)) ] || e2e_fail "screenshot has the wrong size"
}
lit_bytes() { tr -d '\000' <"$1" | wc -c; }
expect_black() {  # what was done, then the window's position
  grab "$2" "$E2E_TMP/shot.rgb"
  lit=$(lit_bytes "$E2E_TMP/shot.rgb")
  [ "$lit" -eq 0 ] || e2e_fail "$1: $lit colour bytes of the window are not black"
}

e2e_start_xvfb
# A white screen behind the window: a grab that missed the window, or a
# window that showed what lies beneath it, would not be black.
xsetroot -solid white || e2e_fail "could not whiten the screen"
grab 0,0 "$E2E_TMP/before.rgb"
[ "$(lit_bytes "$E2E_TMP/before.rgb")" -eq $((640 * 480 * 3)) ] || e2e_fail "the bare screen does not grab as white"

e2e_start_app "$binary" TESSARO_CAMERA=demo
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
geometry=$(xwininfo -id "$win")
x=$(awk '/Absolute upper-left X:/ { print $4 }' <<<"$geometry")
y=$(awk '/Absolute upper-left Y:/ { print $4 }' <<<"$geometry")
grep -qF "Width: 640" <<<"$geometry" && grep -qF "Height: 480" <<<"$geometry" ||
  e2e_fail "window is not 640 x 480: $geometry"

# The box lies partly over the window; once answered, none of it may stay.
e2e_dismiss_box "Info:" 15
for shot in 1 2; do
  sleep 1
  kill -0 "$APP_PID" 2>/dev/null || e2e_fail "the program ended on its own"
  expect_black "screenshot $shot after the box" "$x,$y"
done

xdotool windowunmap --sync "$win" || e2e_fail "could not unmap the window"
grab "$x,$y" "$E2E_TMP/unmapped.rgb"
[ "$(lit_bytes "$E2E_TMP/unmapped.rgb")" -eq $((640 * 480 * 3)) ] || e2e_fail "the unmapped window still shows"
# Unmapped, the program only waits for its next message: the camera and the
# sound take a few per cent of a core, a loop that polls takes all of one.
busy=$(e2e_cpu_percent "$APP_PID" 3)
[ "$busy" -lt 25 ] || e2e_fail "unmapped, the program used $busy % of a core"
xdotool windowmap --sync "$win" || e2e_fail "could not map the window again"
sleep 0.5
expect_black "mapped again over the white screen" "$x,$y"

e2e_escape_ends_cleanly "$win"
echo "ok: all 640 x 480 pixels of the window are black after the box and after unmapping and mapping"
