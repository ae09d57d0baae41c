#pragma once
// The program's own timing (pacing, waits, watchdogs, how long something
// took) reads CLOCK_MONOTONIC here, which no change of the wall clock moves.
// The clock of platform/clock.h keeps its own readers: its readings are part
// of the sound.
#include <time.h>

#include <cstdint>

// Nanoseconds since an arbitrary point in the past (the machine's start).
inline int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The same in whole milliseconds.
inline uint64_t monotonicMilliseconds() { return uint64_t(monotonicNanoseconds() / 1000000); }
