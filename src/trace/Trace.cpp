#include "trace/Trace.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// Keeps the caller's last-error value across the debugger call, so that a
// native can trace after a failure and still report the failure's code.
class CLastErrorKeeper {
 public:
  CLastErrorKeeper() : m_dwError(GetLastError()) {}
  ~CLastErrorKeeper() { SetLastError(m_dwError); }
  CLastErrorKeeper(const CLastErrorKeeper &) = delete;
  CLastErrorKeeper &operator=(const CLastErrorKeeper &) = delete;

 private:
  DWORD m_dwError;
};

// Ends with a line feed the line of nWanted characters that snprintf left in
// szLine, and sends it. A line too long for the buffer is cut and still ends
// in a line feed, so the debugger sees one line per call.
void SendLine(char *szLine, int nWanted) {
  if (nWanted < 0) return;
  if (nWanted >= TRACE_LINE_SIZE - 1) nWanted = TRACE_LINE_SIZE - 2;
  szLine[nWanted] = '\n';
  szLine[nWanted + 1] = '\0';
  OutputDebugStringA(szLine);
}

// Sends the dump line that ends at nPos.
void EndDumpLine(char *pszLine, size_t nPos) {
  pszLine[nPos] = '\n';
  pszLine[nPos + 1] = '\0';
  OutputDebugStringA(pszLine);
}

const char kHexDigits[] = "0123456789abcdef";

}  // namespace

void TraceLine(const char *pszTag, int nLine, const char *pszText) {
  CLastErrorKeeper keep;
  char szLine[TRACE_LINE_SIZE];
  SendLine(szLine, snprintf(szLine, sizeof szLine, "%s(%d) %s", pszTag, nLine, pszText));
}

void TraceError(const char *pszTag, int nLine, const char *pszText, DWORD dwError) {
  CLastErrorKeeper keep;
  char szLine[TRACE_LINE_SIZE];
  SendLine(szLine, snprintf(szLine, sizeof szLine, "%s(%d) %s Error=%d", pszTag, nLine, pszText,
                            (int)dwError));
}

// The text goes straight behind the tag and line number: one formatting
// pass, the same line as formatting the text first and the line after.
void TraceFormat(const char *pszTag, int nLine, const char *pszFormat, ...) {
  CLastErrorKeeper keep;
  char szLine[TRACE_LINE_SIZE];
  const int nPrefix = snprintf(szLine, sizeof szLine, "%s(%d) ", pszTag, nLine);
  if (nPrefix < 0 || nPrefix >= TRACE_LINE_SIZE - 1) {
    SendLine(szLine, nPrefix);
    return;
  }
  va_list args;
  va_start(args, pszFormat);
  const int nText = vsnprintf(szLine + nPrefix, sizeof szLine - (size_t)nPrefix, pszFormat, args);
  va_end(args);
  SendLine(szLine, nText < 0 ? nText : nPrefix + nText);
}

void DumpHex(const char *pszTag, const BYTE *pBytes, int nLength, int nBytesPerLine) {
  if (!TraceListened()) return;
  CLastErrorKeeper keep;
  if (!pszTag) pszTag = "";
  if (!pBytes) nLength = 0;
  if (nBytesPerLine < 1) nBytesPerLine = 1;

  // A line is the tag (first line only), " xx" per byte, a line feed and the
  // terminator. The tag is cut so that a full first line still fits; lines
  // too long for the buffer even without a tag are broken where it ends.
  const int nPairsPerFullLine = (DUMP_BUFFER_SIZE - 2) / 3;
  const size_t nTagRoom = nBytesPerLine <= nPairsPerFullLine
                              ? DUMP_BUFFER_SIZE - 2 - 3 * (size_t)nBytesPerLine
                              : DUMP_BUFFER_SIZE - 2 - 3;
  char szLine[DUMP_BUFFER_SIZE];
  size_t nPos = strnlen(pszTag, nTagRoom);
  memcpy(szLine, pszTag, nPos);

  for (int nByte = 1; nByte <= nLength; ++nByte) {
    if (nPos + 3 + 2 > DUMP_BUFFER_SIZE) {
      EndDumpLine(szLine, nPos);
      nPos = 0;
    }
    const BYTE b = pBytes[nByte - 1];
    szLine[nPos] = ' ';
    szLine[nPos + 1] = kHexDigits[b >> 4];
    szLine[nPos + 2] = kHexDigits[b & 0x0F];
    nPos += 3;
    if (nByte % nBytesPerLine == 0) {
      EndDumpLine(szLine, nPos);
      nPos = 0;
    }
  }
  if (nPos != 0) EndDumpLine(szLine, nPos);
}
