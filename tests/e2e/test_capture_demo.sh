#!/usr/bin/env bash
# The installation as a visitor meets it, with the built-in demo camera: the
# set-up lists the camera and its mode, the "Info:" box holds everything back
# until it is answered, then the figure's slow walk sounds the tone voice and
# its running to and fro the strike voice; Escape tears the camera down with
# its two lines.
. "$(dirname "$0")/lib.sh"
binary=$1
raw="$E2E_TMP/audio.raw"
size_of() { stat -c %s "$raw" 2>/dev/null || echo 0; }
has_sound_of() { [ "$(size_of)" -ge "$1" ]; }
# RMS (0 to 1) of `seconds` of the output from `start`, after an optional filter.
rms() {
  sox -t raw -r 44100 -e signed -b 16 -c 2 "$raw" -n trim "$1" "$2" ${3:+sinc $3} stat 2>&1 |
    awk '/RMS +amplitude/ { print $3 }'
}
above() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a > b) }'; }

e2e_start_xvfb
e2e_start_app "$binary" SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$raw" TESSARO_CAMERA=demo
box=$(e2e_find_window "Info:" 15) || e2e_fail "no \"Info:\" box"

# While the box waits for the user, nothing goes on behind it.
sleep 1
kill -0 "$APP_PID" 2>/dev/null || e2e_fail "the program ended while the box was up"
[ "$(size_of)" -eq 0 ] || e2e_fail "sound started before the box was answered"
expected="-------------------------------------------------------
CodeVis VidCapture DLL Test Program                     
Tessaro camera layer 1.0"
[ "$(head -c ${#expected} "$APP_STDOUT")" = "$expected" ] || e2e_fail "the banner is not as expected"
for line in "Found device: 0 - Tessaro demo camera" "Selecting the first one: Tessaro demo camera" \
             "Scanning available modes..." "Mode 0: 640x480 @ 30 frames/sec (GREY)"; do
  grep -qxF "$line" "$APP_STDOUT" || e2e_fail "no line '$line'"
done

e2e_key "$box" Return
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
e2e_wait_until 10 has_sound_of 1 || e2e_fail "no sound 10 s after the box was answered"

# The demo's minute: the figure walks in slowly from 2 s to 8 s and runs to
# and fro from 17 s to 22.5 s.
e2e_wait_until 40 has_sound_of $(( 26 * 176400 )) || e2e_fail "the sound stalled at $(size_of) bytes"
e2e_escape_ends_cleanly "$win"

# The first frame counts as all moving, and the jump to the second sets the
# strike voice from however close the two came (up to its full 0.3); it holds
# until the figure moves, about 3 s in, and its tail has died away by 5.5 s.
walk=$(rms 5.5 2)          # the tone voice alone: its partials stay below 900 Hz
walk_high=$(rms 5.5 2 1200)
run_high=$(rms 19 6 1200)  # the strike voice's partials reach well above
above "$walk" 0.05 || e2e_fail "no tone voice while the figure walks in (RMS $walk)"
above "$run_high" 0.005 || e2e_fail "no strike voice while the figure runs (RMS above 1.2 kHz: $run_high)"
above "$run_high" "$(awk -v w="$walk_high" 'BEGIN { print 3 * w }')" ||
  e2e_fail "running does not sound brighter than walking (above 1.2 kHz: $run_high against $walk_high)"
if grep -q "capture ended" "$APP_STDERR"; then e2e_fail "the camera stopped by itself"; fi
echo "ok: tone RMS $walk while walking; above 1.2 kHz $walk_high walking, $run_high running"
