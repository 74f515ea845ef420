#include "jni/Trace.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
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

// snprintf cuts an over-long line; keep its line feed so the debugger still
// sees one line per call.
void SendLine(char *szLine, int nWanted) {
  if (nWanted < 0) return;
  if (nWanted >= TRACE_LINE_SIZE) szLine[TRACE_LINE_SIZE - 2] = '\n';
  OutputDebugStringA(szLine);
}

// Sends the dump line that ends at nPos.
void EndDumpLine(char *pszLine, size_t nPos) {
  pszLine[nPos] = '\n';
  pszLine[nPos + 1] = '\0';
  OutputDebugStringA(pszLine);
}

}  // namespace

void TraceLine(const char *pszTag, int nLine, const char *pszText) {
  CLastErrorKeeper keep;
  char szLine[TRACE_LINE_SIZE];
  SendLine(szLine, snprintf(szLine, sizeof szLine, "%s(%d) %s\n", pszTag, nLine, pszText));
}

void TraceError(const char *pszTag, int nLine, const char *pszText, DWORD dwError) {
  CLastErrorKeeper keep;
  char szLine[TRACE_LINE_SIZE];
  SendLine(szLine, snprintf(szLine, sizeof szLine, "%s(%d) %s Error=%d\n", pszTag, nLine, pszText,
                            (int)dwError));
}

void TraceFormat(const char *pszTag, int nLine, const char *pszFormat, ...) {
  CLastErrorKeeper keep;
  char szText[TRACE_LINE_SIZE];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szText, sizeof szText, pszFormat, args);
  va_end(args);
  TraceLine(pszTag, nLine, szText);
}

void DumpHex(const char *pszTag, const BYTE *pBytes, int nLength, int nBytesPerLine) {
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
  char *pszLine = (char *)malloc(DUMP_BUFFER_SIZE);
  if (!pszLine) return;
  size_t nPos = strnlen(pszTag, nTagRoom);
  memcpy(pszLine, pszTag, nPos);
  pszLine[nPos] = '\0';

  for (int nByte = 1; nByte <= nLength; ++nByte) {
    if (nPos + 3 + 2 > DUMP_BUFFER_SIZE) {
      EndDumpLine(pszLine, nPos);
      nPos = 0;
    }
    snprintf(pszLine + nPos, 4, " %.2x", (unsigned)pBytes[nByte - 1]);
    nPos += 3;
    if (nByte % nBytesPerLine == 0) {
      EndDumpLine(pszLine, nPos);
      nPos = 0;
    }
  }
  if (nPos != 0) EndDumpLine(pszLine, nPos);
  free(pszLine);
}
