# Shared helpers for the end-to-end tests, which run the real program the way
# a visitor or a gallery attendant would. Source it from a test script:
#
#   . "$(dirname "$0")/lib.sh"
#   e2e_start_xvfb [WxHxD]            # a private Xvfb on a free display (1280x1024x24
#                                     # unless given); exports DISPLAY
#   e2e_start_app "$1"                # starts the binary in the background: APP_PID,
#                                     # its output in $APP_STDOUT and $APP_STDERR.
#                                     # Options first (--name=value), then extra environment:
#                                     # e2e_start_app "$1" --unattended SDL_AUDIODRIVER=disk
#                                     # (SDL_AUDIODRIVER is dummy unless set)
#   e2e_dismiss_box "Info:" 15        # waits up to 15 s for a message box with that
#                                     # caption and presses Return in it
#   win=$(e2e_find_window Tessaro 15) || e2e_fail "no window"
#   e2e_key "$win" Escape             # a key press and release sent to that window
#   e2e_close "$win"                  # close request, as a window manager's close button
#   e2e_wait_exit 5                   # waits up to 5 s for the program: APP_STATUS,
#                                     # APP_EXIT_MS (ms since e2e_wait_exit began);
#                                     # returns 1 (and kills it) if it did not end in time
#   e2e_escape_ends_cleanly "$win"  # Escape while running: status 27 within 5 s and the
#                                     # teardown lines as the last output
#   e2e_teardown_last "after what"    # the teardown lines are the program's last output
#   e2e_fail "what went wrong"        # prints it with the program's output; exits 1
#   e2e_plain "$APP_STDERR"           # the file without the time that starts each of the
#                                     # program's own lines when they go to a file
#   e2e_ms                            # monotonic milliseconds, for timing checks
#   e2e_wait_until 10 CMD [ARG...]    # runs CMD every 100 ms until it succeeds (status 0)
#                                     # or 10 s have passed (status 1); what CMD prints
#                                     # when it succeeds is passed on
#   e2e_gone PID                      # succeeds once that process has ended
#   e2e_cpu_percent PID SECONDS       # the share of one core the process used over the
#                                     # next SECONDS (user and system time, from /proc)
#   e2e_start_app "$1" TESSARO_CAMERA="$E2E_NO_CAMERA"
#                                     # no camera, whatever the machine has: a video
#                                     # file that does not exist lists none (and says
#                                     # so in one line on standard error), so no
#                                     # "Info:" box waits for a key
#
#   e2e_start_other_app "$1" VAR=... # a second instance beside the first: OTHER_PID,
#                                     # its output in $E2E_TMP/other.stdout and .stderr
#   e2e_start_pulse                   # a private PulseAudio server with one null sink "out";
#                                     # exports PULSE_SERVER (PULSE_PID: the server)
#   e2e_stop_pulse                    # kills it (a sound server that dies)
#   e2e_record_pulse FILE             # records what the sink plays (RECORD_PID), raw
#                                     # 16-bit stereo at 44.1 kHz
#   e2e_start_osc_receiver FILE       # oscdump on a free local UDP port, one line per
#                                     # message into FILE: OSC_PORT, OSC_PID (again for
#                                     # another receiver: each is stopped at the end)
#   e2e_stop_osc_receiver             # kills it
#
# Every process started here is stopped and every file removed on exit,
# whatever the outcome; every wait is bounded.

set -u

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/tessaro-e2e.XXXXXX")
XVFB_PID=""
PULSE_PID=""
RECORD_PID=""
OTHER_PID=""
OSC_PID=""
OSC_PIDS=""
APP_PID=""
APP_STATUS=""
APP_EXIT_MS=""
APP_STDOUT="$E2E_TMP/stdout"
APP_STDERR="$E2E_TMP/stderr"
E2E_NO_CAMERA="$E2E_TMP/no-camera.avi"
# The programs read no settings file of the machine's (/etc, ~/.config).
export TESSARO_CONFIG=/dev/null

e2e_cleanup() {
  for pid in "$OTHER_PID" "$RECORD_PID" "$PULSE_PID" "$OSC_PID" $OSC_PIDS; do
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  if [ -n "$APP_PID" ] && kill -0 "$APP_PID" 2>/dev/null; then
    kill -KILL "$APP_PID" 2>/dev/null
    wait "$APP_PID" 2>/dev/null
  fi
  if [ -n "$XVFB_PID" ] && kill -0 "$XVFB_PID" 2>/dev/null; then
    kill -TERM "$XVFB_PID" 2>/dev/null
    e2e_wait_until 2 e2e_gone "$XVFB_PID"
    kill -KILL "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
  fi
  rm -rf "$E2E_TMP"
}
trap e2e_cleanup EXIT
trap 'exit 130' INT TERM

e2e_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# The one way the tests wait for something: every wait is bounded.
e2e_wait_until() {
  local deadline=$(( $(e2e_ms) + $1 * 1000 ))
  shift
  until "$@"; do
    [ "$(e2e_ms)" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

e2e_gone() { ! kill -0 "$1" 2>/dev/null; }

# utime + stime in clock ticks: fields 14 and 15, counted after the ")" that ends the name.
e2e_cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
e2e_cpu_percent() {
  local ticks0 ticks1 t0 t1
  ticks0=$(e2e_cpu_ticks "$1"); t0=$(e2e_ms)
  sleep "$2"
  ticks1=$(e2e_cpu_ticks "$1"); t1=$(e2e_ms)
  echo $(( (ticks1 - ticks0) * 100000 / $(getconf CLK_TCK) / (t1 - t0) ))
}

# A server started in the background is waited for until it answers (CMD...
# succeeds) or ends.
e2e_answered_or_gone() {
  local pid=$1
  shift
  "$@" || e2e_gone "$pid"
}

e2e_display_number() {
  local number
  number=$(tr -dc '0-9' <"$1")
  [ -n "$number" ] && echo "$number"
}

e2e_pulse_answers() { pactl info >/dev/null 2>&1; }

e2e_fail() {
  echo "FAIL: $*" >&2
  for f in "$APP_STDOUT" "$APP_STDERR"; do
    if [ -s "$f" ]; then
      echo "--- program ${f##*/}:" >&2
      tail -n 40 "$f" >&2
    fi
  done
  exit 1
}

e2e_start_xvfb() {
  local fifo="$E2E_TMP/displayfd"
  : >"$fifo"
  Xvfb -displayfd 3 -screen 0 "${1:-1280x1024x24}" -nolisten tcp -noreset 3>"$fifo" \
    >"$E2E_TMP/xvfb.log" 2>&1 &
  XVFB_PID=$!
  # Xvfb writes its display's number once it listens.
  e2e_wait_until 10 e2e_answered_or_gone "$XVFB_PID" e2e_display_number "$fifo" >/dev/null
  local number
  number=$(e2e_display_number "$fifo") || { cat "$E2E_TMP/xvfb.log" >&2; e2e_fail "Xvfb did not start"; }
  export DISPLAY=":$number"
  unset WAYLAND_DISPLAY
}

# Unless the caller's environment or the arguments name another, the program
# gets SDL's dummy audio driver: with no sound card the device error box would
# otherwise stop the start-up until someone clicks it.
e2e_start_app() {
  local binary=$1 options=()
  shift
  while [ $# -gt 0 ] && [ "${1#--}" != "$1" ]; do options+=("$1"); shift; done
  env SDL_AUDIODRIVER="${SDL_AUDIODRIVER:-dummy}" "$@" "$binary" "${options[@]}" >"$APP_STDOUT" 2>"$APP_STDERR" &
  APP_PID=$!
}

# Prints the id of the first top-level window titled exactly $1 once it is
# viewable; returns 1 after $2 seconds without one.
e2e_start_other_app() {
  local binary=$1
  shift
  env SDL_AUDIODRIVER="${SDL_AUDIODRIVER:-dummy}" "$@" "$binary" >"$E2E_TMP/other.stdout" \
    2>"$E2E_TMP/other.stderr" &
  OTHER_PID=$!
}

e2e_find_window() { e2e_wait_until "${2:-10}" e2e_viewable_window "$1"; }

e2e_viewable_window() {
  local id
  id=$(xwininfo -root -tree 2>/dev/null | awk -v t="\"$1\":" '$2 == t { print $1; exit }')
  [ -n "$id" ] && xwininfo -id "$id" 2>/dev/null | grep -q 'IsViewable' && echo "$id"
}

e2e_key() { xdotool key --window "$1" "$2"; }

# The distribution's interpreter: python3-xlib is installed for it.
e2e_close() { /usr/bin/python3 "$E2E_DIR/xclose.py" "$1"; }

e2e_dismiss_box() {
  local box
  box=$(e2e_find_window "$1" "${2:-10}") || e2e_fail "no \"$1\" message box"
  e2e_key "$box" Return
}

e2e_wait_exit() {
  local limit=$1 start watchdog
  start=$(e2e_ms)
  (
    trap 'kill "$nap" 2>/dev/null; exit 0' TERM
    sleep "$limit" &
    nap=$!
    wait "$nap"
    touch "$E2E_TMP/timed-out"
    kill -KILL "$APP_PID" 2>/dev/null
  ) &
  watchdog=$!
  wait "$APP_PID"
  APP_STATUS=$?
  APP_EXIT_MS=$(( $(e2e_ms) - start ))
  kill "$watchdog" 2>/dev/null
  wait "$watchdog" 2>/dev/null
  APP_PID=""
  if [ -e "$E2E_TMP/timed-out" ]; then
    rm -f "$E2E_TMP/timed-out"
    return 1
  fi
  return 0
}

e2e_escape_ends_cleanly() {
  kill -0 "$APP_PID" 2>/dev/null || e2e_fail "the program ended before Escape"
  e2e_key "$1" Escape
  e2e_wait_exit 5 || e2e_fail "still running 5 s after Escape"
  [ "$APP_STATUS" -eq 27 ] || e2e_fail "status $APP_STATUS after Escape, expected 27"
  e2e_teardown_last "after Escape"
}

e2e_teardown_last() {
  [ "$(tail -n 3 "$APP_STDOUT")" = $'\nCleaning up...\nTest complete.' ] ||
    e2e_fail "$1: the teardown lines are not the last output"
}

# PulseAudio refuses to run as root except as a system server; either way it
# listens on a socket of ours and exits with its last client never.
e2e_start_pulse() {
  # A system server runs as the user "pulse": it needs a folder it may write.
  local folder="$E2E_TMP/pulse" mode=()
  mkdir -p "$folder" && chmod 711 "$E2E_TMP" && chmod 777 "$folder"
  local socket="$folder/native"
  if [ "$(id -u)" -eq 0 ]; then mode=(--system --disallow-module-loading=no --use-pid-file=no)
  else mode=(--use-pid-file=no); export XDG_RUNTIME_DIR="$E2E_TMP"; fi
  pulseaudio "${mode[@]}" --daemonize=no --exit-idle-time=-1 --disallow-exit -n \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$socket" \
    --load="module-null-sink sink_name=out" >>"$E2E_TMP/pulse.log" 2>&1 &
  PULSE_PID=$!
  export PULSE_SERVER="unix:$socket"
  e2e_wait_until 10 e2e_answered_or_gone "$PULSE_PID" e2e_pulse_answers
  e2e_pulse_answers && return 0
  cat "$E2E_TMP/pulse.log" >&2
  e2e_fail "PulseAudio did not start"
}

e2e_stop_pulse() {
  kill -KILL "$PULSE_PID" 2>/dev/null
  wait "$PULSE_PID" 2>/dev/null
  PULSE_PID=""
}

e2e_record_pulse() {
  parec -d out.monitor --format=s16le --rate=44100 --channels=2 --raw >"$1" 2>>"$E2E_TMP/pulse.log" &
  RECORD_PID=$!
}

e2e_plain() { sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}[+-][0-9]{2}:[0-9]{2} //' "$1"; }

# oscdump prints each message as it comes (-L: line-buffered, so nothing is
# lost when it is killed). The port is one the kernel just handed out; the
# receiver is ready once it is bound there.
e2e_start_osc_receiver() {
  OSC_PORT=$(/usr/bin/python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  oscdump -L "$OSC_PORT" >"$1" 2>>"$E2E_TMP/oscdump.log" &
  OSC_PID=$!
  OSC_PIDS="$OSC_PIDS $OSC_PID"
  local hex
  hex=$(printf ':%04X ' "$OSC_PORT")
  e2e_wait_until 5 e2e_answered_or_gone "$OSC_PID" grep -q "$hex" /proc/net/udp
  grep -q "$hex" /proc/net/udp && return 0
  cat "$E2E_TMP/oscdump.log" >&2
  e2e_fail "oscdump did not start on port $OSC_PORT"
}

e2e_stop_osc_receiver() {
  kill -KILL "$OSC_PID" 2>/dev/null
  wait "$OSC_PID" 2>/dev/null
  OSC_PID=""
}
