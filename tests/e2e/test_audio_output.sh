#!/usr/bin/env bash
# With SDL's disk driver standing in for the sound card and no camera, the
# program plays 44 100 frames of 4 bytes a second, all silent (nothing
# moves), sets its sound up without a complaint, and Escape still ends it
# cleanly.
. "$(dirname "$0")/lib.sh"
binary=$1
raw="$E2E_TMP/audio.raw"
size_of() { stat -c %s "$raw" 2>/dev/null || echo 0; }
has_sound() { [ "$(size_of)" -gt 0 ]; }

e2e_start_xvfb
e2e_start_app "$binary" SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$raw" TESSARO_CAMERA="$E2E_NO_CAMERA"
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"

e2e_wait_until 10 has_sound || e2e_fail "nothing reached the audio device in 10 s"

# The rate over three seconds; the disk driver paces itself to about 1 %.
size0=$(size_of); t0=$(e2e_ms)
sleep 3
size1=$(size_of); t1=$(e2e_ms)
rate=$(( (size1 - size0) * 1000 / (t1 - t0) ))
[ "$rate" -gt 167580 ] && [ "$rate" -lt 185220 ] ||
  e2e_fail "the output grows by $rate bytes a second, expected 176400 (44 100 frames of 4 bytes)"

kill -0 "$APP_PID" 2>/dev/null || e2e_fail "the program ended before Escape"
e2e_key "$win" Escape
e2e_wait_exit 5 || e2e_fail "still running 5 s after Escape"
[ "$APP_STATUS" -eq 27 ] || e2e_fail "status $APP_STATUS after Escape, expected 27"

size=$(size_of)
[ $(( size % 4 )) -eq 0 ] || e2e_fail "$size bytes is not a whole number of 16-bit stereo frames"
cmp -s -n "$size" "$raw" /dev/zero || e2e_fail "the output is not silent: $(cmp -n "$size" "$raw" /dev/zero)"
if grep -q "audio: " "$APP_STDERR"; then e2e_fail "the sound set-up complained"; fi
if grep -q "bass error" "$APP_STDERR"; then e2e_fail "a device error was reported"; fi
echo "ok: $size bytes of silence at $rate bytes/s; Escape ended the program with status 27"
