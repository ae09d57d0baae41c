#!/usr/bin/env bash
# The offline renderer as a person uses it: the demo and a recorded video
# become a WAV and a timeline picture; bad input gets one clear line, a
# non-zero status and no output file; `make run` without a display renders the
# demo into the build folder.
. "$(dirname "$0")/lib.sh"

render="$TESSARO_BUILD_DIR/tessaro-render"
out="$E2E_TMP/out"
partial_written() { ls "$out" | grep -q partial; }
mkdir -p "$out"

wav_field() { sox --i "-$1" "$2" 2>/dev/null; }
png_size() { python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); assert d[:8]==b"\x89PNG\r\n\x1a\n"; print("%dx%d" % struct.unpack(">II", d[16:24]))' "$1"; }

# The demo: format, length, picture, summary.
"$render" --seconds 3 demo "$out/demo.wav" >"$APP_STDOUT" 2>"$APP_STDERR" || e2e_fail "demo render failed"
[ "$(wav_field r "$out/demo.wav")" = 44100 ] || e2e_fail "rate is not 44100"
[ "$(wav_field c "$out/demo.wav")" = 2 ] || e2e_fail "not stereo"
[ "$(wav_field b "$out/demo.wav")" = 16 ] || e2e_fail "not 16-bit"
[ "$(wav_field s "$out/demo.wav")" = 132300 ] || e2e_fail "3 s should be 132300 frames, got $(wav_field s "$out/demo.wav")"
[ "$(png_size "$out/demo.png")" = 1400x1006 ] || e2e_fail "timeline picture missing or of another size"
# Frames up to the start of the last 100 ms request are heard: 0 .. 2.9 s.
grep -q "frames analysed: 88$" "$APP_STDOUT" || e2e_fail "summary does not count 88 frames"
grep -q "tone voice audible" "$APP_STDOUT" && grep -q "peak level" "$APP_STDOUT" || e2e_fail "summary incomplete"
grep -q "^rendered " "$APP_STDOUT" && e2e_fail "progress lines printed to a file"

# On a terminal it reports each second of sound rendered.
script -qec "'$render' --seconds 3 demo '$out/tty.wav'" /dev/null >"$APP_STDOUT" 2>&1 || e2e_fail "render on a terminal failed"
[ "$(grep -c '^rendered [0-9]* s of 3 s' "$APP_STDOUT")" -eq 3 ] || e2e_fail "expected three progress lines on a terminal"

# Deterministic: the same request gives the same bytes.
"$render" --seconds 3 demo "$out/again.wav" >/dev/null 2>&1 || e2e_fail "second render failed"
cmp -s "$out/demo.wav" "$out/again.wav" || e2e_fail "two renders of the same request differ"

# A recorded video is a camera too; by default the whole recording is rendered.
ffmpeg -loglevel error -f lavfi -i "testsrc=size=320x240:rate=15" -t 2 -c:v mjpeg "$out/clip.avi" ||
  e2e_fail "could not make the test video"
"$render" "$out/clip.avi" "$out/clip.wav" >"$APP_STDOUT" 2>"$APP_STDERR" || e2e_fail "video render failed"
[ "$(wav_field s "$out/clip.wav")" = 88200 ] || e2e_fail "a 2 s video should give 88200 frames"
grep -q "frames analysed: 29$" "$APP_STDOUT" || e2e_fail "a 2 s video at 15 fps should give 29 heard frames"

# A file's name is never taken for a URL: a colon in it, or a file named pipe:0.
cp "$out/clip.avi" "$out/visit-10:15.avi" && cp "$out/clip.avi" "$out/pipe:0" || e2e_fail "could not copy the video"
for name in visit-10:15.avi pipe:0; do
  (cd "$out" && timeout 20 "$render" "$name" named.wav </dev/null >"$APP_STDOUT" 2>"$APP_STDERR") ||
    e2e_fail "the file $name was not rendered"
  grep -q "frames analysed: 29$" "$APP_STDOUT" || e2e_fail "$name did not render as the file it names"
done
rm -f "$out/visit-10:15.avi" "$out/pipe:0" "$out"/named.*

# Damaged recordings, made with FFmpeg. Cut short: one line, and one pass
# ends where its pictures do. Time stamps that repeat (a variable rate): no
# seam in the middle, every picture heard at its own time.
ffmpeg -loglevel error -nostdin -f lavfi -i "testsrc=size=160x120:rate=15" -t 10 -c:v mjpeg -f matroska "$out/cut.mkv" &&
  truncate -s $(( $(stat -c %s "$out/cut.mkv") * 3 / 10 )) "$out/cut.mkv" || e2e_fail "could not make the cut-short video"
pictures=$(ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames -of csv=p=0 "$out/cut.mkv")
"$render" "$out/cut.mkv" "$out/cut.wav" >"$APP_STDOUT" 2>"$APP_STDERR" || e2e_fail "the cut-short video did not render"
e2e_plain "$APP_STDERR" | grep -qxE "camera: Video file ends at [0-9.]+ s, before the 10.0 s its header gives: it is cut short." &&
  [ "$(grep -c . "$APP_STDERR")" -eq 1 ] || e2e_fail "the cut-short video: $(cat "$APP_STDERR")"
grep -q "frames analysed: $pictures$" "$APP_STDOUT" || e2e_fail "the cut-short video's $pictures pictures were not heard once each"
[ "$(wav_field s "$out/cut.wav")" = $((pictures * 44100 / 15)) ] || e2e_fail "the cut-short video's sound does not end with its pictures"
ffmpeg -loglevel error -nostdin -f lavfi -i "testsrc=size=160x120:rate=30" -t 6 -c:v mjpeg -f matroska "$out/even.mkv" &&
  ffmpeg -loglevel error -nostdin -i "$out/even.mkv" -c copy -bsf:v "setts=ts=if(gte(N\,150)*mod(N\,2)\,PREV_OUTPTS\,PTS)" \
    -f matroska "$out/repeats.mkv" || e2e_fail "could not make the video with repeated time stamps"
heard=$(ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 "$out/repeats.mkv" | awk '$1 <= 5.9' | wc -l)
"$render" --csv "$out/repeats.csv" "$out/repeats.mkv" "$out/repeats.wav" >"$APP_STDOUT" 2>"$APP_STDERR" ||
  e2e_fail "the video with repeated time stamps did not render"
grep -q "frames analysed: $heard$" "$APP_STDOUT" || e2e_fail "repeated time stamps: not the $heard pictures up to 5.9 s"
awk -F, 'NR > 1 && ($1 < last || $1 > 5900) { exit 1 } NR > 1 { last = $1 }' "$out/repeats.csv" ||
  e2e_fail "repeated time stamps were taken for the end of the file"
[ -s "$APP_STDERR" ] && e2e_fail "repeated time stamps: $(cat "$APP_STDERR")"
rm -f "$out"/cut.* "$out"/even.mkv "$out"/repeats.*

# Bad input: one line, non-zero status, nothing left behind.
expect_refusal() {  # expected text, then the arguments
  local expected=$1; shift
  rm -f "$out"/bad.*
  if "$render" "$@" >"$APP_STDOUT" 2>"$APP_STDERR"; then e2e_fail "accepted: $*"; fi
  grep -q -- "$expected" "$APP_STDERR" || e2e_fail "for '$*' expected '$expected'"
  [ "$(grep -c . "$APP_STDERR")" -ge 1 ] || e2e_fail "no message for: $*"
  ls "$out"/bad.* >/dev/null 2>&1 && e2e_fail "output left behind for: $*"
  ls "$out" | grep -q partial && e2e_fail "partial file left behind for: $*"
  return 0
}
printf 'not a video at all' >"$out/garbage.mp4"
sox -n -r 44100 -c 2 "$out/tone.wav" synth 1 sine 440 2>/dev/null || e2e_fail "could not make the audio-only file"
expect_refusal "cannot read video file '$out/missing.mp4': No such file or directory" "$out/missing.mp4" "$out/bad.wav"
expect_refusal "cannot read video file '$out/garbage.mp4'" "$out/garbage.mp4" "$out/bad.wav"
expect_refusal "no video stream" "$out/tone.wav" "$out/bad.wav"
expect_refusal "--seconds must be more than 0" --seconds 0 demo "$out/bad.wav"
expect_refusal "--seconds must be more than 0" --seconds -5 demo "$out/bad.wav"
expect_refusal "--seconds takes a number" --seconds soon demo "$out/bad.wav"
expect_refusal "cannot write '$out/no/such/dir/bad.wav'" demo "$out/no/such/dir/bad.wav"
expect_refusal "needs a SOURCE and an OUT.wav" demo
expect_refusal "must not end in .png" demo "$out/bad.png"
cp "$out/clip.avi" "$out/clip.png"  # FFmpeg reads by content, not by name
clip_sum=$(md5sum <"$out/clip.avi")
expect_refusal "would replace SOURCE" "$out/clip.avi" "$out/./clip.avi"
expect_refusal "would replace SOURCE" "$out/clip.png" "$out/clip.wav"
[ "$(md5sum <"$out/clip.avi")" = "$clip_sum" ] && [ "$(md5sum <"$out/clip.png")" = "$clip_sum" ] ||
  e2e_fail "the recording was changed by a refused render"

expect_refusal "--seconds must give at least one sample" --seconds 1e-9 demo "$out/bad.wav"
expect_refusal "OUT.csv must be another file" --csv "$out/bad.wav" demo "$out/bad.wav"
# The same file however it is spelled, before any of them exists.
(cd "$out" && expect_refusal "OUT.csv must be another file" --csv ./bad.wav demo bad.wav &&
  expect_refusal "OUT.csv must be another file" --csv "$out/bad.png" demo bad.wav &&
  expect_refusal "OUT.csv must be another file" --csv "../out/bad.wav" demo "$out/bad.wav") || exit 1

# A source that would block or never end is refused at once.
mkfifo "$out/fifo.mkv"
timeout -s KILL 5 "$render" "$out/fifo.mkv" "$out/bad.wav" >"$APP_STDOUT" 2>"$APP_STDERR"
[ $? -eq 1 ] || e2e_fail "a FIFO as SOURCE was not refused at once"
[ "$(e2e_plain "$APP_STDERR")" = "tessaro-render: cannot read video file '$out/fifo.mkv': not a regular file" ] ||
  e2e_fail "a FIFO as SOURCE: $(cat "$APP_STDERR")"

# Outputs that are not regular files are never replaced; a link is followed.
if [ -w /dev/null ] && "$render" --seconds 1 demo /dev/null >/dev/null 2>"$APP_STDERR"; then
  e2e_fail "/dev/null was accepted as OUT.wav"
fi
[ -c /dev/null ] || e2e_fail "/dev/null was replaced"
e2e_plain "$APP_STDERR" | grep -qx "tessaro-render: cannot write '/dev/null': not a regular file" ||
  e2e_fail "/dev/null as OUT.wav: $(cat "$APP_STDERR")"
expect_refusal "cannot write '$out/fifo.mkv': not a regular file" --csv "$out/fifo.mkv" demo "$out/bad.wav"
mkdir "$out/real"
ln -s real/linked.wav "$out/link.wav"
"$render" --seconds 1 demo "$out/link.wav" >/dev/null 2>&1 || e2e_fail "a render through a link failed"
[ -L "$out/link.wav" ] && [ "$(wav_field s "$out/real/linked.wav")" = 44100 ] ||
  e2e_fail "the link was replaced, or its target not written"

# A full disk: the README's line, and nothing left behind. A small private
# tmpfs where mounting is allowed; elsewhere a file size limit fails the same
# writes with another reason.
rm -f "$out"/bad.*
if unshare -m true 2>/dev/null; then
  unshare -m sh -c 'mount -t tmpfs -o size=300k tmpfs "$1" && exec "$2" --seconds 3 --csv "$1/bad.csv" demo "$1/bad.wav"' \
    sh "$out" "$render" >"$APP_STDOUT" 2>"$APP_STDERR" && e2e_fail "a render onto a full disk succeeded"
  reason="No space left on device"
else
  (trap '' XFSZ; ulimit -f 300; exec "$render" --seconds 3 --csv "$out/bad.csv" demo "$out/bad.wav") \
    >"$APP_STDOUT" 2>"$APP_STDERR" && e2e_fail "a render beyond the file size limit succeeded"
  reason="File too large"
fi
[ "$(e2e_plain "$APP_STDERR")" = "tessaro-render: cannot write '$out/bad.wav': $reason" ] ||
  e2e_fail "full disk: $(cat "$APP_STDERR")"
ls "$out" | grep -q 'bad\.\|partial' && e2e_fail "a full disk left files behind"

# Interrupted: one line, the signal's status, no partial file left; a
# second signal during the cleanup changes nothing. A file-size limit fails
# the write that reaches it, with its reason.
for signals in INT TERM HUP XFSZ "INT INT INT"; do
  first=${signals%% *}
  "$render" --seconds 3000 --csv "$out/bad.csv" demo "$out/bad.wav" >"$APP_STDOUT" 2>"$APP_STDERR" &
  pid=$!
  e2e_wait_until 5 partial_written
  sleep 0.3
  for signal in $signals; do kill -"$signal" "$pid"; done
  wait "$pid"
  status=$?
  expected=$((128 + $(kill -l "$first")))
  [ "$status" -eq "$expected" ] || e2e_fail "status $status after SIG$signals, expected $expected"
  [ "$(e2e_plain "$APP_STDERR")" = "tessaro-render: interrupted by SIG$first: nothing written" ] ||
    e2e_fail "after SIG$signals: $(cat "$APP_STDERR")"
  ls "$out" | grep -q 'bad\.\|partial' && e2e_fail "SIG$signals left files behind"
done
(ulimit -f 300; exec "$render" --seconds 3 --csv "$out/bad.csv" demo "$out/bad.wav") >"$APP_STDOUT" 2>"$APP_STDERR"
[ $? -eq 1 ] || e2e_fail "a render past the file-size limit did not fail with status 1"
[ "$(e2e_plain "$APP_STDERR")" = "tessaro-render: cannot write '$out/bad.wav': File too large" ] ||
  e2e_fail "past the file-size limit: $(cat "$APP_STDERR")"
ls "$out" | grep -q 'bad\.\|partial' && e2e_fail "the file-size limit left files behind"

# The motion log: a header and one row per analysed frame.
"$render" --seconds 3 --csv "$out/demo.csv" demo "$out/demo.wav" >"$APP_STDOUT" 2>"$APP_STDERR" ||
  e2e_fail "a render with --csv failed"
[ "$(head -n 1 "$out/demo.csv" | cut -d, -f1-3)" = "frame_ms,moving_fraction,centroid_x" ] ||
  e2e_fail "the motion log has no header"
[ "$(($(wc -l <"$out/demo.csv") - 1))" -eq 88 ] || e2e_fail "the motion log does not hold the 88 frames"
cmp -s "$out/demo.wav" "$out/again.wav" || e2e_fail "the motion log changed the sound"

# `make run` with no display renders the demo into the build folder.
rm -f "$TESSARO_BUILD_DIR/demo.wav" "$TESSARO_BUILD_DIR/demo.png"
env -u DISPLAY -u WAYLAND_DISPLAY TESSARO_BUILD_DIR="$TESSARO_BUILD_DIR" \
  "$TESSARO_SOURCE_DIR/scripts/run" >"$APP_STDOUT" 2>"$APP_STDERR" || e2e_fail "run without a display failed"
[ "$(wav_field s "$TESSARO_BUILD_DIR/demo.wav")" = 1323000 ] || e2e_fail "demo.wav is not 30 s"
[ -s "$TESSARO_BUILD_DIR/demo.png" ] || e2e_fail "demo.png missing"
grep -q "Listen to $TESSARO_BUILD_DIR/demo.wav" "$APP_STDOUT" || e2e_fail "run does not say where to listen"
echo "render: all checks passed"
