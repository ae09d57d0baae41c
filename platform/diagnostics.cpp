#include "platform/diagnostics.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
std::mutex logLock;
std::FILE* logFile = nullptr;  // nullptr: standard error

bool systemClock(timespec* now) {
  std::FILE* destination = logFile ? logFile : stderr;
  if (isatty(fileno(destination))) return false;
  clock_gettime(CLOCK_REALTIME, now);
  return true;
}

DiagnosticClock lineClock = systemClock;
}  // namespace

void formatLocalTimestamp(const timespec& time, char text[30]) {
  tm local{};
  localtime_r(&time.tv_sec, &local);
  const long offsetMinutes = local.tm_gmtoff / 60;
  const long offset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  char full[64];
  std::snprintf(full, sizeof full, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld",
                (local.tm_year + 1900) % 10000, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, time.tv_nsec / 1000000 % 1000, offsetMinutes < 0 ? '-' : '+', offset / 60 % 100,
                offset % 60);
  std::memcpy(text, full, 29);
  text[29] = '\0';
}

void diagnostic(const char* area, const char* format, ...) {
  std::lock_guard guard(logLock);
  char line[1024];
  size_t length = 0;
  timespec now{};
  if (lineClock(&now)) {
    formatLocalTimestamp(now, line);
    length = 29;
    line[length++] = ' ';
  }
  const int prefix = std::snprintf(line + length, sizeof line - length, "%s: ", area);
  if (prefix > 0) length = std::min(length + static_cast<size_t>(prefix), sizeof line - 2);
  va_list arguments;
  va_start(arguments, format);
  const int text = std::vsnprintf(line + length, sizeof line - 1 - length, format, arguments);
  va_end(arguments);
  // A line too long for the buffer is cut, never run past it.
  if (text > 0) length = std::min(length + static_cast<size_t>(text), sizeof line - 2);
  line[length++] = '\n';
  std::FILE* destination = logFile ? logFile : stderr;
  std::fwrite(line, 1, length, destination);
  std::fflush(destination);
}

bool setDiagnosticLog(const char* path) {
  std::FILE* opened = nullptr;
  if (path) {
    opened = std::fopen(path, "ae");
    if (!opened) return false;
  }
  std::lock_guard guard(logLock);
  if (logFile) std::fclose(logFile);
  logFile = opened;
  return true;
}

void setDiagnosticClock(DiagnosticClock clock) {
  std::lock_guard guard(logLock);
  lineClock = clock ? clock : systemClock;
}
