#!/usr/bin/env bash
# How late the sound follows the picture, the short version of
# scripts/measure-latency: five onsets of a clip played as the camera through
# a real PulseAudio server. The median must stay at 100 ms or less and the
# latest at 150 ms or less. A machine this busy (two processors, other builds)
# can hold a process for tens of milliseconds: a measurement over the limits
# is taken again once, and the second decides.
here=$(cd "$(dirname "$0")" && pwd)
build=$(dirname "$1")
for attempt in 1 2; do
  out=$("$here/../../scripts/measure-latency" "$build" 5 2>&1)
  echo "$out"
  read -r median latest < <(echo "$out" | sed -n 's/^min [0-9]* ms, median \([0-9]*\) ms, max \([0-9]*\) ms$/\1 \2/p')
  [ -n "${median:-}" ] || { echo "FAIL: measure-latency gave no figures"; exit 1; }
  if [ "$median" -le 100 ] && [ "$latest" -le 150 ]; then
    echo "ok: median $median ms, max $latest ms"
    exit 0
  fi
done
echo "FAIL: median $median ms (at most 100), max $latest ms (at most 150), twice"
exit 1
