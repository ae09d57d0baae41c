// The unit tests compare diagnostic lines whole: they run with lines that
// carry no time, whatever their standard error is.
#include "platform/diagnostics.h"

namespace {
bool noTime(timespec*) { return false; }

struct PlainDiagnostics {
  PlainDiagnostics() { setDiagnosticClock(noTime); }
} plainDiagnostics;
}  // namespace
