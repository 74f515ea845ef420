// Debugger-output trace lines: one OutputDebugStringA call per line.
#pragma once

#include "velto/platform.h"

// Each line is formatted into a buffer of this size; longer lines are cut,
// keeping the line feed.
#define TRACE_LINE_SIZE 200

// "%s(%d) %s\n": tag, source line of the trace statement, text.
void TraceLine(const char *pszTag, int nLine, const char *pszText);
// "%s(%d) %s Error=%d\n": as above with an error code.
void TraceError(const char *pszTag, int nLine, const char *pszText, DWORD dwError);
// Formats pszFormat into a local text buffer, then traces it as a common line.
void TraceFormat(const char *pszTag, int nLine, const char *pszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Size of the buffer each DumpHex call formats its lines in.
#define DUMP_BUFFER_SIZE 256

// Hex dump of a block: the tag on the first line only, " %.2x" per byte,
// bytesPerLine pairs per line, each line ending in a single line feed. A tag
// too long for a full first line is cut; skipped when no buffer can be had.
void DumpHex(const char *pszTag, const BYTE *pBytes, int nLength, int nBytesPerLine);

// All trace helpers leave the thread's last-error value as they found it.
#define TRACE(tag, text) TraceLine((tag), __LINE__, (text))
#define TRACE_ERR(tag, text, err) TraceError((tag), __LINE__, (text), (err))
#define TRACE_FMT(tag, ...) TraceFormat((tag), __LINE__, __VA_ARGS__)
