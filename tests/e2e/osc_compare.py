"""Compares what oscdump printed for a live run and for an offline render of
the same recording, and, when there is one, the render's CSV of every frame.

  osc_compare.py LIVE.txt OFFLINE.txt [ROWS.csv]

oscdump prints each message as "TIMETAG PATH TYPES VALUE...", a float with
six decimals. The render and its CSV must agree exactly at that precision:
every frame in order, its time included, with the values of the synthesis
call that followed it. The live run stamps its frames with the clock and
smooths its velocities over those times, so against the render only the
values that do not depend on timing are compared (moving fraction, centroid,
gains), frame for frame, allowing for frames the live run dropped.
"""
import csv
import struct
import sys

MOTION = "/tessaro/motion"
VOICES = "/tessaro/voices"
# Positions in /tessaro/motion after the time: fraction, centroid x, y, gains.
UNTIMED = (1, 2, 3, 7, 8)


def messages(path):
    found = []
    with open(path) as f:
        for line in f:
            words = line.split()
            if len(words) >= 3 and words[1] in (MOTION, VOICES):
                found.append((words[1], words[2], words[3:]))
    return found


def as_printed(value, kind):
    """A CSV value as oscdump prints what was sent: floats at single precision."""
    if kind == "i":
        return str(int(value))
    single = struct.unpack("f", struct.pack("f", float(value)))[0]
    return "%f" % single


def fail(text):
    print("FAIL: " + text, file=sys.stderr)
    sys.exit(1)


def check_render_against_csv(offline, rows_path):
    with open(rows_path) as f:
        rows = list(csv.DictReader(f))
    motion_fields = ["frame_ms", "moving_fraction", "centroid_x", "centroid_y", "velocity_x", "velocity_y",
                     "speed", "left_gain", "right_gain"]
    voice_fields = [("note", "i"), ("level_target", "f"), ("strike_band", "i"), ("strike_left_target", "f"),
                    ("strike_right_target", "f"), ("pan_left", "f"), ("pan_right", "f")]
    # Each frame with the values of the synthesis call that came after it.
    pairs = []
    for i, (path, types, values) in enumerate(offline):
        if path != MOTION:
            continue
        following = next((m for m in offline[i + 1:] if m[0] == VOICES), None)
        pairs.append((values, following[2] if following else None))
    if len(pairs) != len(rows):
        fail("the render sent %d frames, its CSV has %d rows" % (len(pairs), len(rows)))
    for n, (row, (motion, voices)) in enumerate(zip(rows, pairs)):
        expected = [as_printed(row[k], "f") for k in motion_fields]
        if motion != expected:
            fail("frame %d: /tessaro/motion %s, CSV row %s" % (n, motion, expected))
        expected = [as_printed(row[k], kind) for k, kind in voice_fields]
        if voices != expected:
            fail("frame %d: /tessaro/voices %s, CSV row %s" % (n, voices, expected))
    print("the render's messages equal its %d CSV rows" % len(rows))


def check_live_against_render(live, offline):
    heard = [[v[i] for i in UNTIMED] for p, _, v in live if p == MOTION]
    rendered = [[v[i] for i in UNTIMED] for p, _, v in offline if p == MOTION]
    if not rendered:
        fail("the render sent no /tessaro/motion")
    # Walk both in step; a live row that matches a rendered one a little
    # further on means the live run dropped the frames between.
    i = j = matched = 0
    while i < len(heard) and j < len(rendered):
        ahead = next((k for k in range(j, min(j + 4, len(rendered))) if rendered[k] == heard[i]), None)
        if ahead is not None:
            matched += 1
            j = ahead + 1
        i += 1
    if matched < 0.9 * len(rendered):
        fail("only %d of the render's %d frames came from the live run with the same values"
             % (matched, len(rendered)))
    print("%d of the render's %d frames came from the live run with the same values" % (matched, len(rendered)))


def main():
    live, offline = messages(sys.argv[1]), messages(sys.argv[2])
    for name, found in (("live", live), ("offline", offline)):
        for path, types, values in found:
            wanted = "fffffffff" if path == MOTION else "ififfff"
            if types != wanted or len(values) != len(wanted):
                fail("%s: %s with types %s and %d values" % (name, path, types, len(values)))
        if not any(p == VOICES for p, _, _ in found):
            fail("%s: no /tessaro/voices" % name)
    if len(sys.argv) > 3:
        check_render_against_csv(offline, sys.argv[3])
    check_live_against_render(live, offline)


main()
