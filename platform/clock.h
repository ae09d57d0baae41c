#pragma once
#include <atomic>
#include <cstdint>

// Milliseconds since start-up as 32-bit floats, from CLOCK_MONOTONIC with a
// millisecond-timer fallback.
struct Clock {
  bool counterAvailable;
  int64_t countsPerSecond;
  float secondsPerCount;
  int64_t startCount;
  uint32_t startMs;
  // Written once by the main thread while the capture thread may read it.
  std::atomic<float> startMark;
};

// The clock's record, kept in clock.cpp.
const Clock& appClockRecord();

void clearClock();
void startClock();
float elapsedMs();
void setStartMark();
float msSinceStartMark();
// The same reading before it is rounded to float: exact to the nanosecond
// for years, where the float's step grows past a millisecond after 2^24 ms
// (about 4.7 hours).
double exactMsSinceStartMark();

// The time sources the clock reads. Tests replace them to take the
// millisecond-timer branch or to stand at any counter value without waiting.
struct ClockSources {
  // False when the machine has no high-resolution counter.
  bool (*counterFrequency)(int64_t* countsPerSecond);
  int64_t (*counterValue)();
  // Milliseconds, wrapping at 2^32 like the multimedia timer.
  uint32_t (*millisecondTime)();
};
// nullptr restores the system's sources.
void setClockSources(const ClockSources* sources);

// Sleeps the calling thread for about `ms` milliseconds, resuming after signals.
void sleepMs(uint32_t ms);
