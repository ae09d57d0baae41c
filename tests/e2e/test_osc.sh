#!/usr/bin/env bash
# OSC to a real receiver: oscdump listens while the installation plays a
# video file as its camera with --osc, and again while tessaro-render renders
# the same file with --osc (and --csv, where the renderer writes one). The
# render's messages equal its CSV rows; the live run's frames carry the same
# values as the render's, frame for frame (see osc_compare.py).
. "$(dirname "$0")/lib.sh"
binary=$1
render="$TESSARO_BUILD_DIR/tessaro-render"
clip="$E2E_TMP/clip.avi"
count() { grep -c "$1" "$2" 2>/dev/null || true; }
heard_at_least() { [ "$(count /tessaro/motion "$2")" -ge "$1" ]; }

# 6 s at 15 fps of FFmpeg's test pattern, whose gradient and counter move.
ffmpeg -loglevel error -nostdin -f lavfi -i "testsrc=size=320x240:rate=15" -t 6 -c:v mjpeg -q:v 3 "$clip" ||
  e2e_fail "could not make the test video"

# Offline first: it says how many frames one pass of the file has.
csv_args=()
if "$render" --help | grep -q -- "--csv"; then csv_args=(--csv "$E2E_TMP/rows.csv"); fi
e2e_start_osc_receiver "$E2E_TMP/offline.txt"
"$render" --osc "127.0.0.1:$OSC_PORT" "${csv_args[@]}" "$clip" "$E2E_TMP/clip.wav" >"$APP_STDOUT" 2>"$APP_STDERR" ||
  e2e_fail "the render failed"
frames=$(sed -n 's/^  frames analysed: //p' "$APP_STDOUT")
[ -n "$frames" ] && [ "$frames" -gt 60 ] || e2e_fail "the render analysed '$frames' frames"
e2e_wait_until 5 heard_at_least "$frames" "$E2E_TMP/offline.txt"
e2e_stop_osc_receiver
[ "$(count /tessaro/motion "$E2E_TMP/offline.txt")" -eq "$frames" ] ||
  e2e_fail "the render analysed $frames frames, oscdump got $(count /tessaro/motion "$E2E_TMP/offline.txt")"

# Live: a little more than one pass of the file.
e2e_start_xvfb
e2e_start_osc_receiver "$E2E_TMP/live.txt"
e2e_start_app "$binary" TESSARO_CAMERA="$clip" TESSARO_OSC="127.0.0.1:$OSC_PORT"
e2e_dismiss_box "Info:" 15
win=$(e2e_find_window Tessaro 15) || e2e_fail "no window titled Tessaro"
e2e_wait_until 20 heard_at_least $(( frames + 15 )) "$E2E_TMP/live.txt"
e2e_escape_ends_cleanly "$win"
e2e_stop_osc_receiver
grep -q "^.*osc: sending /tessaro/motion and /tessaro/voices to 127.0.0.1:$OSC_PORT$" "$APP_STDERR" ||
  e2e_fail "no line saying where the messages go"
grep -q "osc: .*dropped" "$APP_STDERR" && e2e_fail "messages were dropped on an idle machine"

/usr/bin/python3 "$E2E_DIR/osc_compare.py" "$E2E_TMP/live.txt" "$E2E_TMP/offline.txt" \
  ${csv_args[1]:+"${csv_args[1]}"} || e2e_fail "the messages differ"
[ ${#csv_args[@]} -gt 0 ] || echo "note: tessaro-render has no --csv here; the CSV comparison was left out"
echo "ok: $frames frames rendered and heard live over OSC"
