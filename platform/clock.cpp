#include "platform/clock.h"

#include "platform/exact_float.h"
#include "platform/message_box.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {
Clock appClock{};

bool monotonicFrequency(int64_t* countsPerSecond) {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
  *countsPerSecond = 1000000000;
  return true;
}

int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

uint32_t monotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Truncated to 32 bits: wraps every 49.7 days like the timer it replaces.
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

constexpr ClockSources systemSources{monotonicFrequency, monotonicNanoseconds, monotonicMilliseconds};
const ClockSources* sources = &systemSources;

// Milliseconds since startClock in double precision, before any rounding.
double rawElapsedMs() {
  double counts;
  if (appClock.counterAvailable) {
    counts = static_cast<double>(sources->counterValue() - appClock.startCount);
  } else {
    // Unsigned 32-bit difference: one wrap of the timer still reads right.
    const uint32_t difference = sources->millisecondTime() - appClock.startMs;
    counts = static_cast<double>(static_cast<uint64_t>(difference));
  }
  const double seconds = counts * static_cast<double>(appClock.secondsPerCount);
  return seconds * 1000.0;
}
}  // namespace

const Clock& appClockRecord() { return appClock; }

void setClockSources(const ClockSources* replacement) {
  sources = replacement ? replacement : &systemSources;
}

void clearClock() {
  appClock.counterAvailable = false;
  appClock.countsPerSecond = 0;
  appClock.secondsPerCount = 0.0f;
  appClock.startCount = 0;
  appClock.startMs = 0;
  appClock.startMark.store(0.0f, std::memory_order_relaxed);
}

void startClock() {
  int64_t frequency = 0;
  if (sources->counterFrequency(&frequency) && frequency > 0) {
    appClock.countsPerSecond = frequency;
    appClock.startCount = sources->counterValue();
    appClock.counterAvailable = true;
    appClock.secondsPerCount = exactFloat(1.0 / static_cast<double>(frequency));
    return;
  }
  showMessageBox(nullptr, "Warning:", "No performance timer found!");
  std::printf("No performance timer found!\n");
  appClock.counterAvailable = false;
  appClock.secondsPerCount = 0.001f;
  appClock.countsPerSecond = 1000;
  appClock.startMs = sources->millisecondTime();
}

float elapsedMs() { return exactFloat(rawElapsedMs()); }

void setStartMark() { appClock.startMark.store(elapsedMs(), std::memory_order_relaxed); }

float msSinceStartMark() { return exactFloat(exactMsSinceStartMark()); }

double exactMsSinceStartMark() {
  const double mark = appClock.startMark.load(std::memory_order_relaxed);
  return rawElapsedMs() - mark;
}

void sleepMs(uint32_t ms) {
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
