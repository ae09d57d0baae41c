#!/usr/bin/env bash
# Fitting the installation to a room, tried on the demo recording with the
# renderer: a mask made as a PNG by FFmpeg removes its part of the picture
# from the motion log, an all-white one (as a PGM) changes nothing, a
# threshold changes what moves; bad values get one line naming the option
# and status 2, from the renderer and the installation alike.
. "$(dirname "$0")/lib.sh"

render="$TESSARO_BUILD_DIR/tessaro-render"
out="$E2E_TMP/out"
mkdir -p "$out"
picture() { ffmpeg -loglevel error -nostdin -y -f lavfi -i "color=$1:s=$2" ${3:+-vf "$3"} -frames:v 1 "$out/$4" ||
  e2e_fail "could not make $4"; }
picture white 64x48 "drawbox=x=0:y=0:w=32:h=48:color=black:t=fill" left-ignored.png
picture white 33x17 "" all-watched.pgm
picture black 8x8 "" nothing-watched.png

run() { "$render" --seconds 20 "$@" >"$APP_STDOUT" 2>"$APP_STDERR" || e2e_fail "render $* failed"; }
run --csv "$out/plain.csv" demo "$out/plain.wav"
run --csv "$out/white.csv" --mask "$out/all-watched.pgm" demo "$out/white.wav"
run --csv "$out/left.csv" --mask "$out/left-ignored.png" demo "$out/left.wav"
run --csv "$out/threshold.csv" --threshold 120 demo "$out/threshold.wav"
cmp -s "$out/plain.csv" "$out/white.csv" && cmp -s "$out/plain.wav" "$out/white.wav" ||
  e2e_fail "a mask that watches everything changed the render"

# Centroid x is 1 at the picture's left edge: with the left half ignored it
# never passes the middle, where the demo's figure takes it without a mask.
python3 - "$out" <<'PY' || e2e_fail "the motion logs do not show what the mask and the threshold remove"
import csv, sys
def rows(name):
    return list(csv.DictReader(open(f"{sys.argv[1]}/{name}.csv")))
plain, left, threshold = rows("plain"), rows("left"), rows("threshold")
assert max(float(r["centroid_x"]) for r in plain) > 0.8, "the demo's figure never reaches the left"
assert max(float(r["centroid_x"]) for r in left) <= 0.5, "the ignored left half entered the centroid"
moving = lambda rs: sum(float(r["moving_fraction"]) for r in rs[2:])
assert 0 < moving(threshold) < moving(plain), (moving(threshold), moving(plain))
PY

# Bad values: one line naming the option, status 2, nothing written.
bad() {
  local what=$1 option=$2
  shift 2
  "$@" >"$APP_STDOUT" 2>"$APP_STDERR"
  local status=$?
  [ "$status" = 2 ] || e2e_fail "$what: status $status, not 2"
  e2e_plain "$APP_STDERR" | head -1 | grep -q -- "$option" || e2e_fail "$what: the first line does not name $option"
}
bad "an unreadable mask" --mask "$render" --mask "$out/none.png" demo "$out/bad.wav"
bad "a mask that watches nothing" --mask "$render" --mask "$out/nothing-watched.png" demo "$out/bad.wav"
bad "a threshold of 0" --threshold "$render" --threshold 0 demo "$out/bad.wav"
bad "a volume above 0 dB" --volume "$render" --volume 3 demo "$out/bad.wav"
[ ! -e "$out/bad.wav" ] || e2e_fail "a refused render left its output"
bad "the installation's unreadable mask" --mask env DISPLAY= "$TESSARO_BUILD_DIR/tessaro" --mask "$out/none.png"
[ "$(grep -c . "$APP_STDERR")" = 1 ] || e2e_fail "the installation said more than one line: $(cat "$APP_STDERR")"
bad "the installation's threshold" TESSARO_THRESHOLD env DISPLAY= TESSARO_THRESHOLD=300 "$TESSARO_BUILD_DIR/tessaro"
bad "the installation's volume" volume env DISPLAY= "$TESSARO_BUILD_DIR/tessaro" --volume=-61
exit 0
