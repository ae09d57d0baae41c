#pragma once
// The one voice of the project's own diagnostic lines: every line that the
// program or its tools write about themselves goes through here, to standard
// error (or the log file), as "area: text". When that is not a terminal, as
// under a service manager, each line starts with an ISO 8601 local time:
// "2026-12-08T21:47:03.512+01:00 audio: ...". Lines whose text and stream are
// fixed (the window's errors, the capture listing, the teardown lines,
// message boxes) do not come here.
//
// Areas in use: "tessaro", "camera", "audio", "display", "service", "box", "osc",
// "tessaro-render", "make_font_atlas".
#include <ctime>
#include <string>

#if defined(__GNUC__)
#define TESSARO_PRINTF(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define TESSARO_PRINTF(formatIndex, firstArgument)
#endif

// One whole line (the newline is added), written with one call so that lines
// from different threads never interleave.
void diagnostic(const char* area, const char* format, ...) TESSARO_PRINTF(2, 3);

// Appends the lines to this file instead of standard error; false (nothing
// changed) with `reason` set when it cannot be opened. Opening never waits: a
// FIFO that no program reads is refused. nullptr returns to standard error.
// Once a line cannot be written (a full disk, a reader gone), one line on
// standard error says so and the lines go there from then on.
bool setDiagnosticLog(const char* path, std::string* reason = nullptr);

// Test seam: where a line's time comes from. The clock fills `now` and says
// whether lines carry a time at all; nullptr restores the real one (the
// system's time, only when the destination is not a terminal).
using DiagnosticClock = bool (*)(timespec* now);
void setDiagnosticClock(DiagnosticClock clock);

// "YYYY-MM-DDThh:mm:ss.mmm+hh:mm" in local time: 29 characters and a NUL.
void formatLocalTimestamp(const timespec& time, char text[30]);
