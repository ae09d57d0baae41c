#!/usr/bin/env bash
# With no camera at all the set-up says so in one line and shows no box; the
# installation stays up in silence and Escape still ends it with the
# teardown lines.
. "$(dirname "$0")/lib.sh"
binary=$1
raw="$E2E_TMP/audio.raw"
size_of() { stat -c %s "$raw" 2>/dev/null || echo 0; }
has_second_of_sound() { [ "$(size_of)" -ge 176400 ]; }

if ls /dev/video* >/dev/null 2>&1; then
  echo "skipped: this machine has video devices"
  exit 0
fi
e2e_start_xvfb
unset TESSARO_CAMERA
e2e_start_app "$binary" SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$raw"
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
e2e_wait_until 10 has_second_of_sound || e2e_fail "no second of sound within 10 s"

grep -qxF "No compatible devices found. Please install a web camera." "$APP_STDOUT" ||
  e2e_fail "no line saying that no camera was found"
if grep -q "^Selecting\|^Mode " "$APP_STDOUT"; then e2e_fail "a camera was selected"; fi
if xwininfo -root -tree | grep -qF '"Info:"'; then e2e_fail "an \"Info:\" box was shown"; fi

e2e_escape_ends_cleanly "$win"
size=$(size_of)
cmp -s -n "$size" "$raw" /dev/zero || e2e_fail "the output is not silent"
echo "ok: no camera, no box, $size bytes of silence, clean end"
