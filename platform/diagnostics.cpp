#include "platform/diagnostics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
std::mutex logLock;
int logDescriptor = -1;  // -1: standard error
std::string logPath;

bool systemClock(timespec* now) {
  if (isatty(logDescriptor >= 0 ? logDescriptor : STDERR_FILENO)) return false;
  clock_gettime(CLOCK_REALTIME, now);
  return true;
}

DiagnosticClock lineClock = systemClock;

// The whole line in one call, so that lines from different threads never interleave.
bool writeLine(int descriptor, const char* line, size_t length) {
  while (length > 0) {
    const ssize_t written = write(descriptor, line, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    line += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// "[time ]area: text\n" into `line`; its length.
size_t formatLine(char (&line)[1024], const char* area, const char* format, va_list arguments) {
  size_t length = 0;
  timespec now{};
  if (lineClock(&now)) {
    formatLocalTimestamp(now, line);
    length = 29;
    line[length++] = ' ';
  }
  const int prefix = std::snprintf(line + length, sizeof line - length, "%s: ", area);
  if (prefix > 0) length = std::min(length + static_cast<size_t>(prefix), sizeof line - 2);
  const int text = std::vsnprintf(line + length, sizeof line - 1 - length, format, arguments);
  // A line too long for the buffer is cut, never run past it.
  if (text > 0) length = std::min(length + static_cast<size_t>(text), sizeof line - 2);
  line[length++] = '\n';
  return length;
}

size_t formatLine(char (&line)[1024], const char* area, const char* format, ...) TESSARO_PRINTF(3, 4);
size_t formatLine(char (&line)[1024], const char* area, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const size_t length = formatLine(line, area, format, arguments);
  va_end(arguments);
  return length;
}
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
  va_list arguments;
  va_start(arguments, format);
  const size_t length = formatLine(line, area, format, arguments);
  va_end(arguments);
  if (logDescriptor < 0) {
    writeLine(STDERR_FILENO, line, length);  // nowhere else to say it fails
    return;
  }
  if (writeLine(logDescriptor, line, length)) return;
  // Only the installation keeps a log. Nothing is lost after this line.
  const int error = errno;
  close(logDescriptor);
  logDescriptor = -1;
  char note[1024];
  const size_t noteLength =
      formatLine(note, "tessaro", "cannot write the log '%s' any more: %s; its lines go to standard error from now on",
                 logPath.c_str(), std::strerror(error));
  writeLine(STDERR_FILENO, note, noteLength);
  writeLine(STDERR_FILENO, line, length);
}

bool setDiagnosticLog(const char* path, std::string* reason) {
  int opened = -1;
  if (path) {
    // Non-blocking, or a FIFO without a reader would hold the start for ever.
    opened = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (opened < 0) {
      const int error = errno;
      struct stat status {};
      const bool fifo = error == ENXIO && stat(path, &status) == 0 && S_ISFIFO(status.st_mode);
      if (reason) *reason = fifo ? "it is a FIFO that no program reads" : std::strerror(error);
      return false;
    }
    // Lines wait for a slow reader, as they do on standard error.
    fcntl(opened, F_SETFL, fcntl(opened, F_GETFL) & ~O_NONBLOCK);
  }
  std::lock_guard guard(logLock);
  if (logDescriptor >= 0) close(logDescriptor);
  logDescriptor = opened;
  logPath = path ? path : "";
  return true;
}

void setDiagnosticClock(DiagnosticClock clock) {
  std::lock_guard guard(logLock);
  lineClock = clock ? clock : systemClock;
}
