#!/usr/bin/env bash
# The installation through a real PulseAudio server: it sounds as through
# SDL's disk driver (a second instance beside it, over the same stretch of the
# demo camera's script: the tone while the figure walks in, the strike voice
# while it runs to and fro); when the server dies and comes back it says so in
# one line each way and sounds again within 5 s of the restart.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/sound_levels.sh"
e2e_start_xvfb
e2e_start_pulse

# Unattended, so that both start their cameras at once: no box to answer in turn.
e2e_start_other_app "$1" SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$E2E_TMP/disk.raw" TESSARO_CAMERA=demo \
  TESSARO_UNATTENDED=1
e2e_start_app "$1" SDL_AUDIODRIVER=pulseaudio TESSARO_CAMERA=demo TESSARO_UNATTENDED=1
e2e_record_pulse "$E2E_TMP/pulse.raw"
sleep 24
kill "$RECORD_PID"; wait "$RECORD_PID" 2>/dev/null; RECORD_PID=""
kill -TERM "$OTHER_PID"; wait "$OTHER_PID"; OTHER_PID=""
# The same installation both ways: the tone while the figure walks in and the
# strike voice (its partials reach far above the tone's) while it runs, each
# clearly there and about as loud. The strike voice's level follows the
# figure's speed frame by frame, which two instances sharing two processors
# see somewhat differently, so it may differ by up to 10 dB; the tone by 6.
for check in "3 6 40-900 tone 0.02 6" "17 6 1500-8000 strike 0.004 10"; do
  set -- $check
  through_pulse=$(rms "$E2E_TMP/pulse.raw" "$1" "$2" sinc "$3")
  through_disk=$(rms "$E2E_TMP/disk.raw" "$1" "$2" sinc "$3")
  for level in "$through_pulse" "$through_disk"; do
    awk -v a="$level" -v floor="$5" 'BEGIN { exit !(a > floor) }' ||
      e2e_fail "the $4 voice is missing: $through_pulse through PulseAudio, $through_disk through the disk driver"
  done
  within_db "$through_pulse" "$through_disk" "$6" ||
    e2e_fail "the $4 voice is $through_pulse through PulseAudio but $through_disk through the disk driver"
done

e2e_stop_pulse
sleep 2
e2e_start_pulse
e2e_record_pulse "$E2E_TMP/after.raw"
sleep 7
kill "$RECORD_PID"; wait "$RECORD_PID" 2>/dev/null; RECORD_PID=""
kill -TERM "$APP_PID"
e2e_wait_exit 10 || e2e_fail "still running 10 s after SIGTERM"
gone=$(grep -c "audio: the output device went away" "$APP_STDERR")
back=$(grep -c "audio: the output device is back" "$APP_STDERR")
[ "$gone" -eq 1 ] && [ "$back" -eq 1 ] || e2e_fail "expected one line for the loss ($gone) and one for the return ($back)"
# The recording starts as soon as the new server answers.
again=$(first_sound "$E2E_TMP/after.raw" 0.005)
[ "$again" != never ] || e2e_fail "no sound after the sound server came back"
awk -v t="$again" 'BEGIN { exit !(t <= 5) }' || e2e_fail "sound came back only $again s after the restart"
echo "ok: both voices as through the disk driver; sound again $again s after the server restarted"
