#!/usr/bin/env bash
# The set-up preview with the demo camera, while the figure walks in from the
# left: with --preview the window shows it (red where samples count as moving,
# a green cross at their centre) and stays black where nothing moves; without
# the option, at the same point of the script, all 307 200 pixels are black.
# With a mask over the left half, that half is dimmed and never red.
. "$(dirname "$0")/lib.sh"
binary=$1

# A screenshot of the window's area as raw RGB bytes into $1.
grab() {
  ffmpeg -loglevel error -nostdin -f x11grab -video_size 640x480 -i "$DISPLAY+0,0" \
    -frames:v 1 -f rawvideo -pix_fmt rgb24 -y "$1" || e2e_fail "ffmpeg could not grab the screen"
}
# Pixels of a colour class in columns [from, to) of a screenshot.
pixels() {
  /usr/bin/python3 - "$1" "$2" "$3" "$4" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
kind, first, last = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
test = {"lit": lambda r, g, b: r or g or b, "red": lambda r, g, b: r == 255 and g == 0 and b == 0,
        "green": lambda r, g, b: g == 255 and r == 0 and b == 0,
        "veiled": lambda r, g, b: r == g and b == r + 48}[kind]
print(sum(1 for y in range(480) for x in range(first, last)
          if test(*data[3 * (640 * y + x):3 * (640 * y + x) + 3])))
EOF
}

# The figure enters from the left 2 s into the script and reaches column 180
# at 8 s; at about 5 s it moves, and nothing right of column 400 ever has.
shot_at_five_seconds() {  # extra environment, then the screenshot's file
  local shot=$1
  shift
  e2e_start_app "$binary" TESSARO_CAMERA=demo "$@"
  e2e_dismiss_box "Info:" 15
  win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
  sleep 5
  grab "$shot"
  e2e_escape_ends_cleanly "$win"
}

# A screen large enough that the "Info:" box, centred on it, never lies over
# the window: this test looks at what the program draws, not at what the box
# leaves behind.
e2e_start_xvfb 1920x1200x24
shot_at_five_seconds "$E2E_TMP/plain.rgb"
lit=$(pixels "$E2E_TMP/plain.rgb" lit 0 640)
[ "$lit" -eq 0 ] || e2e_fail "without --preview $lit of the 307200 pixels are not black"

shot_at_five_seconds "$E2E_TMP/preview.rgb" TESSARO_PREVIEW=1
red=$(pixels "$E2E_TMP/preview.rgb" red 0 400)
green=$(pixels "$E2E_TMP/preview.rgb" green 0 400)
right=$(pixels "$E2E_TMP/preview.rgb" lit 400 640)
[ "$red" -gt 500 ] || e2e_fail "with --preview only $red red pixels where the figure walks"
[ "$green" -gt 10 ] || e2e_fail "with --preview no cross ($green green pixels) where the figure walks"
[ "$right" -eq 0 ] || e2e_fail "with --preview $right pixels are not black where nothing moves"
grep -q "display: " "$APP_STDERR" && e2e_fail "the preview complained: $(grep "display: " "$APP_STDERR")"
echo "ok: black without --preview; with it $red red and $green green pixels where the figure walks, black beside"

# A mask made by FFmpeg that ignores the left half, where the figure walks:
# no red there, every pixel under the dimmed veil; the right half stays black.
ffmpeg -loglevel error -nostdin -f lavfi -i color=white:s=64x48 -vf "drawbox=x=0:y=0:w=32:h=48:color=black:t=fill" \
  -frames:v 1 -y "$E2E_TMP/left.png" || e2e_fail "could not make the mask"
shot_at_five_seconds "$E2E_TMP/masked.rgb" TESSARO_PREVIEW=1 TESSARO_MASK="$E2E_TMP/left.png"
red=$(pixels "$E2E_TMP/masked.rgb" red 0 320)
veiled=$(pixels "$E2E_TMP/masked.rgb" veiled 0 320)
right=$(pixels "$E2E_TMP/masked.rgb" lit 320 640)
[ "$red" -eq 0 ] || e2e_fail "with the left half masked $red pixels there are red"
[ "$veiled" -eq $((320 * 480)) ] || e2e_fail "with the left half masked only $veiled of its pixels are dimmed"
[ "$right" -eq 0 ] || e2e_fail "with the left half masked $right pixels of the right half are not black"
echo "ok: with the left half masked, all of it dimmed and none of it red"
