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

extern Clock appClock;

void clearClock();
void startClock();
float elapsedMs();
void setStartMark();
float msSinceStartMark();
