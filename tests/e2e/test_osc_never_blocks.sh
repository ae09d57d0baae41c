#!/usr/bin/env bash
# A receiver that stops listening costs the sound nothing: with oscdump
# paused by SIGSTOP (its socket fills up and stays full), then gone (the port
# closed), the output keeps real-time pace through SDL's disk driver, and
# every message is sent by the sender's own thread, never by the camera's or
# the audio callback's (strace sees which thread sends). Once the receiver
# listens again, messages arrive again.
. "$(dirname "$0")/lib.sh"
binary=$1
raw="$E2E_TMP/audio.raw"
size_of() { stat -c %s "$raw" 2>/dev/null || echo 0; }
count() { grep -c "$1" "$2" 2>/dev/null || true; }
has_sound() { [ "$(size_of)" -gt 0 ]; }
heard_again() { [ "$(count /tessaro/motion "$E2E_TMP/again.txt")" -ge 10 ]; }
# Bytes per second the output grew by over $1 seconds: 44 100 frames of 4 bytes in real time.
keeps_pace() {
  local size0 t0 size1 t1 rate
  size0=$(size_of); t0=$(e2e_ms)
  sleep "$1"
  size1=$(size_of); t1=$(e2e_ms)
  rate=$(( (size1 - size0) * 1000 / (t1 - t0) ))
  [ "$rate" -gt 167580 ] && [ "$rate" -lt 185220 ] ||
    e2e_fail "$2: the output grew by $rate bytes a second, expected 176400"
  kill -0 "$APP_PID" 2>/dev/null || e2e_fail "$2: the program ended"
}

e2e_start_xvfb
e2e_start_osc_receiver "$E2E_TMP/heard.txt"
port=$OSC_PORT
# Traced for the calls that put a datagram on the wire, with each call's thread.
env SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$raw" TESSARO_CAMERA=demo TESSARO_OSC="127.0.0.1:$port" \
  strace -f --seccomp-bpf -qq -e trace=sendto,sendmsg,sendmmsg -e signal=none -o "$E2E_TMP/trace" \
  "$binary" >"$APP_STDOUT" 2>"$APP_STDERR" &
APP_PID=$!
e2e_dismiss_box "Info:" 15
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
e2e_wait_until 10 has_sound || e2e_fail "no sound 10 s after the box was answered"
program=$(pgrep -P "$APP_PID" | head -n 1)
[ -n "$program" ] || e2e_fail "the traced program is not running"
# Thread ids and names while they all run.
for task in /proc/"$program"/task/*; do echo "${task##*/} $(cat "$task/comm")"; done >"$E2E_TMP/threads"
grep -q " tessaro-osc$" "$E2E_TMP/threads" || e2e_fail "no sender thread: $(cat "$E2E_TMP/threads")"

# A paused receiver: its socket buffer fills within seconds (40 messages a second).
kill -STOP "$OSC_PID"
keeps_pace 8 "receiver paused"
# No receiver at all.
kill -CONT "$OSC_PID"
e2e_stop_osc_receiver
keeps_pace 3 "port closed"
# Listening again on the same port: messages come again.
oscdump -L "$port" >"$E2E_TMP/again.txt" 2>/dev/null &
OSC_PID=$!
e2e_wait_until 5 heard_again || e2e_fail "nothing arrived once a receiver listened again"
e2e_escape_ends_cleanly "$win"

# Every datagram to the receiver's port left from the sender's thread.
senders=$(grep "htons($port)" "$E2E_TMP/trace" | awk '{ print $1 }' | sort -u)
[ -n "$senders" ] || e2e_fail "strace saw nothing sent to port $port"
for tid in $senders; do
  name=$(awk -v t="$tid" '$1 == t { print $2 }' "$E2E_TMP/threads")
  [ "$name" = tessaro-osc ] || e2e_fail "thread $tid ($name) sent to the receiver; only tessaro-osc may"
done
sent=$(grep -c "htons($port)" "$E2E_TMP/trace")
echo "ok: real-time pace with the receiver paused and gone; $sent datagrams, all from tessaro-osc"
