#!/usr/bin/env bash
# The live output with --fade-in, through SDL's disk driver: the demo camera's
# start rises from silence, each sample within the straight line from 0 to
# full scale over the fade. A fade of ten minutes keeps the first seconds,
# which reach a quarter of full scale without it, within a few steps of
# silence, yet not silent.
. "$(dirname "$0")/lib.sh"
binary=$1
raw="$E2E_TMP/audio.raw"
size_of() { stat -c %s "$raw" 2>/dev/null || echo 0; }
three_seconds() { [ "$(size_of)" -ge $((3 * 176400)) ]; }

e2e_start_xvfb
e2e_start_app "$binary" --unattended --fade-in=600 SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$raw" TESSARO_CAMERA=demo
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
e2e_wait_until 20 three_seconds || e2e_fail "less than 3 s of sound reached the audio device in 20 s"
e2e_key "$win" Escape
e2e_wait_exit 5 || e2e_fail "still running 5 s after Escape"

python3 - "$raw" <<'PY' || e2e_fail "the output does not rise from silence"
import struct, sys
data = open(sys.argv[1], "rb").read()[:3 * 176400]
samples = struct.unpack("<%dh" % (len(data) // 2), data)
fade = 600 * 44100
assert samples[0] == 0 and samples[1] == 0, samples[:2]
for k in range(len(samples) // 2):
    bound = 32768 * k / fade + 1
    assert abs(samples[2 * k]) <= bound and abs(samples[2 * k + 1]) <= bound, (k, samples[2 * k:2 * k + 2])
assert max(abs(s) for s in samples) >= 5, "silent: nothing was faded in"
PY
echo "ok: the first 3 s rose from silence, within the fade's line"
