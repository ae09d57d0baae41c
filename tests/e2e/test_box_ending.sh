#!/usr/bin/env bash
# A waiting box does not hold off an ending: with the "Info:" box up, SIGTERM,
# Ctrl+C (SIGINT) and a close request of the window each take the box down,
# and the program shuts down with its two teardown lines and status 0, as
# after a close. A box the rest of the start-up would show (the audio
# device's error, with no usable sound output) does not wait either: its text
# goes to standard error.
. "$(dirname "$0")/lib.sh"
binary=$1

e2e_start_xvfb
for ending in SIGTERM SIGINT close; do
  audio=dummy
  [ "$ending" = SIGINT ] && audio=no-such-driver
  e2e_start_app "$binary" TESSARO_CAMERA=demo SDL_AUDIODRIVER=$audio
  box=$(e2e_find_window "Info:" 15) || e2e_fail "$ending: no \"Info:\" box"
  win=$(e2e_find_window Tessaro 15) || e2e_fail "$ending: no window titled Tessaro"
  sleep 0.5
  # The box's process and the one SDL shows the box from.
  box_processes=$(pgrep -P "$APP_PID")
  [ -n "$box_processes" ] || e2e_fail "$ending: the box has no process of its own"
  for pid in $box_processes; do box_processes="$box_processes $(pgrep -P "$pid")"; done
  kill -0 "$APP_PID" 2>/dev/null || e2e_fail "$ending: the program ended while the box was up"
  case $ending in
    SIGTERM) kill -TERM "$APP_PID" ;;
    SIGINT) kill -INT "$APP_PID" ;;
    close) e2e_close "$win" ;;
  esac
  e2e_wait_exit 5 || e2e_fail "$ending: still running 5 s later, the box waiting"
  [ "$APP_STATUS" -eq 0 ] || e2e_fail "$ending: status $APP_STATUS, expected 0"
  e2e_teardown_last "$ending"
  for pid in $box_processes; do  # gone, or a zombie its new parent has yet to reap
    state=$(ps -o stat= -p "$pid" 2>/dev/null)
    [ -z "$state" ] || [ "${state#Z}" != "$state" ] || e2e_fail "$ending: the box's process $pid is left running"
  done
  if xwininfo -root -tree | grep -qF '"Info:"'; then e2e_fail "$ending: the box is still on the screen"; fi
  if [ $audio != dummy ]; then
    grep -q "^bass error Can't initialize device (bass error code: " "$APP_STDERR" ||
      e2e_fail "$ending: the audio device's error box was not printed instead"
  fi
  echo "ok: $ending with the box up ended the program in $APP_EXIT_MS ms"
done
