#!/usr/bin/env bash
# A gallery machine started at boot: with --unattended and the demo camera the
# sound starts with no key pressed and no box ever appears (no window but
# "Tessaro"); the "Info:" box's text and the start go to the log, each line
# with its time; kill ends it with status 0 and both teardown lines.
. "$(dirname "$0")/lib.sh"
e2e_start_xvfb
raw="$E2E_TMP/audio.raw"
log="$E2E_TMP/tessaro.log"
e2e_start_app "$1" --unattended --camera=demo --log="$log" SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$raw"

windows=""
deadline=$(( $(e2e_ms) + 4000 ))
while [ "$(e2e_ms)" -lt "$deadline" ]; do
  windows+=$(xwininfo -root -tree 2>/dev/null | awk '$2 ~ /^"/ { print $2 }')$'\n'
  sleep 0.1
done
shown=$(printf '%s' "$windows" | grep . | sort -u | tr '\n' ' ')
[ "$shown" = '"Tessaro": ' ] || e2e_fail "windows shown: $shown"
[ "$(stat -c %s "$raw" 2>/dev/null || echo 0)" -gt 176400 ] || e2e_fail "no sound without a key"
level=$(sox -t raw -r 44100 -e signed -b 16 -c 2 "$raw" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')
awk -v a="$level" 'BEGIN { exit !(a > 0.01) }' || e2e_fail "the sound is silent (RMS $level)"

stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}[+-][0-9]{2}:[0-9]{2}'
grep -qE "^$stamp box: Info: 640 x 480 @ 30 fps \(GREY\)$" "$log" || e2e_fail "the Info box's text is not in the log"
grep -qE "^$stamp tessaro: started: camera Tessaro demo camera, 640 x 480 @ 30 fps \(GREY\); audio disk$" "$log" ||
  e2e_fail "no line saying it started with its camera, mode and audio device"
kill -TERM "$APP_PID"
e2e_wait_exit 5 || e2e_fail "still running 5 s after kill"
[ "$APP_STATUS" -eq 0 ] || e2e_fail "status $APP_STATUS after kill"
e2e_teardown_last "after SIGTERM"
grep -qE "^$stamp tessaro: stopping: " "$log" || e2e_fail "no line saying it stops"
echo "ok: sound with no key and no box; the box's text, the start and the stop in the log"

# A log that cannot take lines never holds the start: a FIFO that nobody
# reads is refused at once; a log whose writes fail (a full disk) is said
# once, and its lines go to standard error while the program goes on.
mkfifo "$E2E_TMP/log.fifo"
e2e_start_app "$1" --unattended --camera=demo --log="$E2E_TMP/log.fifo"
e2e_wait_exit 5 || e2e_fail "a FIFO with no reader as the log held the start"
[ "$APP_STATUS" -eq 2 ] || e2e_fail "status $APP_STATUS for a FIFO with no reader as the log"
[ "$(e2e_plain "$APP_STDERR")" = "tessaro: cannot write the log '$E2E_TMP/log.fifo': it is a FIFO that no program reads" ] ||
  e2e_fail "a FIFO with no reader as the log: $(cat "$APP_STDERR")"
e2e_start_app "$1" --unattended --camera=demo --log=/dev/full
e2e_wait_until 10 grep -q "tessaro: started: " "$APP_STDERR" || e2e_fail "no start line on standard error with a full log"
kill -TERM "$APP_PID"
e2e_wait_exit 5 || e2e_fail "still running 5 s after kill, with a full log"
[ "$APP_STATUS" -eq 0 ] || e2e_fail "status $APP_STATUS after kill, with a full log"
[ "$(e2e_plain "$APP_STDERR" | grep -c "^tessaro: cannot write the log '/dev/full' any more: No space left on device; its lines go to standard error from now on$")" -eq 1 ] ||
  e2e_fail "the failing log was not said once: $(cat "$APP_STDERR")"
e2e_plain "$APP_STDERR" | grep -q "^tessaro: stopping: " || e2e_fail "the stop line was lost with a full log"
echo "ok: a log that cannot be written neither holds the start nor loses a line"
