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
  // Implemented with the transfer natives.
  (void)pszTag;
  (void)pBytes;
  (void)nLength;
  (void)nBytesPerLine;
}
