// Debugger-output trace lines: one OutputDebugStringA call per line.
//
// A line costs nothing while nobody listens: the macros below neither format
// nor send it unless a debugger or a debug-output viewer would receive it
// (TraceListened). Whenever someone listens, every line is sent exactly as
// before, formatted once, in a buffer on the stack.
#pragma once

#include "velto/platform.h"

// Each line is formatted into a buffer of this size; longer lines are cut,
// keeping the line feed.
#define TRACE_LINE_SIZE 200

// Whether anyone receives debugger output now: a debugger attached to the
// process (at once), or a debug-output viewer (seen within
// TRACE_VIEWER_REFRESH_MS of its start or end). Leaves the last error alone.
bool TraceListened();
#define TRACE_VIEWER_REFRESH_MS 250

// "%s(%d) %s\n": tag, source line of the trace statement, text.
void TraceLine(const char *pszTag, int nLine, const char *pszText);
// "%s(%d) %s Error=%d\n": as above with an error code.
void TraceError(const char *pszTag, int nLine, const char *pszText, DWORD dwError);
// The text formatted from pszFormat, traced as the text of a common line.
void TraceFormat(const char *pszTag, int nLine, const char *pszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Size of the buffer each DumpHex call formats its lines in.
#define DUMP_BUFFER_SIZE 256

// Hex dump of a block: the tag on the first line only, " %.2x" per byte,
// bytesPerLine pairs per line, each line ending in a single line feed. A tag
// too long for a full first line is cut. Sends nothing while nobody listens.
void DumpHex(const char *pszTag, const BYTE *pBytes, int nLength, int nBytesPerLine);

// All trace helpers leave the thread's last-error value as they found it.
#define TRACE(tag, text)                                     \
  do {                                                       \
    if (TraceListened()) TraceLine((tag), __LINE__, (text)); \
  } while (0)
#define TRACE_ERR(tag, text, err)                                    \
  do {                                                               \
    if (TraceListened()) TraceError((tag), __LINE__, (text), (err)); \
  } while (0)
#define TRACE_FMT(tag, ...)                                         \
  do {                                                              \
    if (TraceListened()) TraceFormat((tag), __LINE__, __VA_ARGS__); \
  } while (0)
