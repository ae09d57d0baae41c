#include "platform/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>

void diagnostic(const char* area, const char* format, ...) {
  char line[1024];
  int used = std::snprintf(line, sizeof line, "%s: ", area);
  if (used < 0) used = 0;
  size_t length = std::min(static_cast<size_t>(used), sizeof line - 2);
  va_list arguments;
  va_start(arguments, format);
  const int text = std::vsnprintf(line + length, sizeof line - 1 - length, format, arguments);
  va_end(arguments);
  // A line too long for the buffer is cut, never run past it.
  if (text > 0) length = std::min(length + static_cast<size_t>(text), sizeof line - 2);
  line[length++] = '\n';
  std::fwrite(line, 1, length, stderr);
  std::fflush(stderr);
}
