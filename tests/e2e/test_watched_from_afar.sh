#!/usr/bin/env bash
# Watching it from afar, each against the real part: the status line as a
# service manager reads it from its notify socket; the heartbeat and every
# message at two oscdump receivers beside a port nobody listens on; the OSC
# input driven with oscsend, its level measured on SDL's disk driver; a
# heartbeat asked for and answered; and the last line at the end.
. "$(dirname "$0")/lib.sh"
. "$E2E_DIR/sound_levels.sh"
binary=$1
raw="$E2E_TMP/audio.raw"
clip="$E2E_TMP/flicker.avi"
socket="$E2E_TMP/notify"
heard="$E2E_TMP/heard"
count() { grep -c "$1" "$2" 2>/dev/null || true; }
beats_at_least() { [ "$(count /tessaro/status "$E2E_TMP/one.txt")" -ge "$1" ] && [ "$(count /tessaro/status "$E2E_TMP/two.txt")" -ge "$1" ]; }
size_of() { stat -c %s "$raw" 2>/dev/null || echo 0; }
# Seconds of output written so far.
# Rounded down: a window that ends here holds nothing written after it.
seconds_out() { awk -v b="$(size_of)" 'BEGIN { printf "%.3f", int(b / 176.4) / 1000 }'; }
# Until the output holds $2 more seconds of sound than it did at $1: on a busy
# machine the disk driver writes slower than the clock goes.
grown_by() { awk -v now="$(seconds_out)" -v from="$1" -v more="$2" 'BEGIN { exit !(now >= from + more) }'; }
status_line() { grep -m1 -E '^STATUS=playing; camera [0-9]+ fps, [0-9]+ % moving; up [0-9]+ s$' "$heard"; }
said() { e2e_plain "$APP_STDERR" | grep -q "$1"; }

# The whole picture turns from black to white and back every frame: all of
# it moves all the time, so the tone voice holds a steady level.
ffmpeg -loglevel error -nostdin -f lavfi -i "nullsrc=s=160x120:r=30,format=gray,geq=lum='if(mod(N\,2)\,235\,16)'" \
  -t 30 -c:v ffv1 "$clip" || e2e_fail "could not make the flickering video"

e2e_start_xvfb
/usr/bin/python3 "$E2E_DIR/notify_listen.py" "$socket" "$heard" &
listener=$!
trap 'kill $listener 2>/dev/null; e2e_cleanup' EXIT
e2e_wait_until 5 grep -q LISTENING "$heard" 2>/dev/null
e2e_start_osc_receiver "$E2E_TMP/one.txt"
one=$OSC_PORT
e2e_start_osc_receiver "$E2E_TMP/two.txt"
two=$OSC_PORT
absent=$(/usr/bin/python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
listen=$(/usr/bin/python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

e2e_start_app "$binary" --unattended --osc="127.0.0.1:$one" --osc="127.0.0.1:$absent" --osc="127.0.0.1:$two" \
  --osc-listen="$listen" TESSARO_CAMERA="$clip" SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$raw" \
  NOTIFY_SOCKET="$socket"
e2e_wait_until 15 said "tessaro: started" || e2e_fail "the installation did not start"

# The heartbeat at both receivers, once a second; the status line within 5 s.
e2e_wait_until 10 beats_at_least 3 || e2e_fail "fewer than 3 heartbeats at each receiver"
for file in one two; do
  grep -qE '/tessaro/status iifiii [0-9]+ 1 [0-9.]+ 1 0 [0-9]+$' "$E2E_TMP/$file.txt" ||
    e2e_fail "receiver $file: no heartbeat of a delivering camera and a playing sound: $(grep -m2 status "$E2E_TMP/$file.txt")"
done
e2e_wait_until 12 status_line >/dev/null || e2e_fail "no status line: $(grep STATUS "$heard")"

# A heartbeat asked for is answered to the port that asked.
answer=$(/usr/bin/python3 "$E2E_DIR/osc_ask_status.py" "$listen") || e2e_fail "no answer to /tessaro/status"
[[ "$answer" =~ ^/tessaro/status\ iifiii\ [0-9]+\ 1\ [0-9.]+\ 1\ 0\ [0-9]+$ ]] || e2e_fail "the answer: $answer"

# The level: 3 s as it plays, then -20 dB, then silence, then back.
sleep 3
before=$(seconds_out)
oscsend 127.0.0.1 "$listen" /tessaro/volume f -20
e2e_wait_until 10 grown_by "$before" 2.5 || e2e_fail "the sound stalled"
quieter=$(seconds_out)
oscsend 127.0.0.1 "$listen" /tessaro/mute i 1
e2e_wait_until 10 grown_by "$quieter" 1.5 || e2e_fail "the sound stalled"
muted=$(seconds_out)
oscsend 127.0.0.1 "$listen" /tessaro/mute i 0
oscsend 127.0.0.1 "$listen" /tessaro/volume f -70
sleep 1
kill -TERM "$APP_PID"
e2e_wait_exit 5 || e2e_fail "still running 5 s after SIGTERM"
e2e_teardown_last "after SIGTERM"

loud=$(rms "$raw" "$(awk -v t="$before" 'BEGIN { print t - 2 }')" 2)
soft=$(rms "$raw" "$(awk -v t="$quieter" 'BEGIN { print t - 2 }')" 2)
silent=$(rms "$raw" "$(awk -v t="$muted" 'BEGIN { print t - 1 }')" 1)
within_db "$soft" "$(awk -v a="$loud" 'BEGIN { print a / 10 }')" 1.5 ||
  e2e_fail "-20 dB asked: RMS $loud before, $soft after"
[ "$silent" = "0.000000" ] || e2e_fail "muted: RMS $silent, not silence"
e2e_plain "$APP_STDERR" | grep -qE "^osc: ignored /tessaro/volume f from 127.0.0.1:[0-9]+: the level must be from -60 to 0 dB$" ||
  e2e_fail "the level out of range was not said"

# Every message at both receivers, nothing dropped.
sleep 0.3
for path in /tessaro/motion /tessaro/voices /tessaro/status; do
  [ "$(count "$path" "$E2E_TMP/one.txt")" -eq "$(count "$path" "$E2E_TMP/two.txt")" ] ||
    e2e_fail "$path: $(count "$path" "$E2E_TMP/one.txt") at one receiver, $(count "$path" "$E2E_TMP/two.txt") at the other"
done
[ "$(count /tessaro/motion "$E2E_TMP/one.txt")" -gt 100 ] || e2e_fail "too few motion messages"

last=$(e2e_plain "$APP_STDERR" | tail -n 1)
[[ "$last" =~ ^tessaro:\ ran\ for\ [0-9]+\ s:\ [0-9]+\ frames,\ 0\ camera\ losses,\ 0\ audio\ losses,\ [0-9]+\ underruns$ ]] ||
  e2e_fail "the last line: $last"
echo "ok: status line, heartbeats at two receivers, -20 dB ($loud -> $soft RMS), mute, answered status; $last"
