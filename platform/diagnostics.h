#pragma once
// The one voice of the project's own diagnostic lines: every line that the
// program or its tools write about themselves goes through here, to standard
// error, as "area: text". Lines whose text and stream are fixed (the window's
// errors, the capture listing, the teardown lines, message boxes) do not.
//
// Areas in use: "camera", "audio", "display", "tessaro-render".

#if defined(__GNUC__)
#define TESSARO_PRINTF(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define TESSARO_PRINTF(formatIndex, firstArgument)
#endif

// One whole line (the newline is added), written with one call so that lines
// from different threads never interleave.
void diagnostic(const char* area, const char* format, ...) TESSARO_PRINTF(2, 3);
