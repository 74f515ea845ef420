// Trace lines and hex dumps with any tag, text and bytes, as the debugger
// receives them.
//
// Input: a byte choosing the form (TRACE, TRACE_ERR, TRACE_FMT, DumpHex;
// bit 2 makes the dump length negative), a 32-bit value (the error code or
// the bytes per line), the tag, a NUL, then the text or the bytes.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "trace/Trace.h"
#include "velto/simprinter.h"

namespace {

std::vector<std::string> g_lines;

void Listen(const char *pszText, void *) { g_lines.emplace_back(pszText); }

// "%s(%d) %s\n", cut to the line buffer with its line feed kept.
void CheckLine(const std::string &szTag, int nLine, const std::string &szText) {
  std::string szWanted = szTag + "(" + std::to_string(nLine) + ") " + szText;
  if (szWanted.size() > TRACE_LINE_SIZE - 2) szWanted.resize(TRACE_LINE_SIZE - 2);
  FUZZ_CHECK(g_lines.size() == 1 && g_lines[0] == szWanted + "\n");
}

void CheckDump(const std::string &szTag, const BYTE *pBytes, int nLength, int nBytesPerLine) {
  std::string szPairs;
  for (int n = 0; n < nLength; ++n) {
    char szPair[4];
    snprintf(szPair, sizeof szPair, " %.2x", pBytes[n]);
    szPairs += szPair;
  }
  std::string szAll;
  for (const std::string &szLine : g_lines) {
    FUZZ_CHECK(!szLine.empty() && szLine.size() < DUMP_BUFFER_SIZE && szLine.back() == '\n');
    szAll.append(szLine, 0, szLine.size() - 1);
  }
  // All lines together: a start of the tag, then every pair in order.
  FUZZ_CHECK(szAll.size() >= szPairs.size());
  const size_t nTag = szAll.size() - szPairs.size();
  FUZZ_CHECK(szAll.compare(0, nTag, szTag, 0, nTag) == 0 &&
             szAll.compare(nTag, std::string::npos, szPairs) == 0);
  if (nLength <= 0) {
    FUZZ_CHECK(g_lines.size() == (nTag > 0 ? 1u : 0u));
    return;
  }
  // When a full line fits the buffer, the tag is whole if it fits beside
  // it, and every line but the last holds bytesPerLine pairs.
  const long long nPerLine = nBytesPerLine < 1 ? 1 : nBytesPerLine;
  if (3 * nPerLine + 2 > DUMP_BUFFER_SIZE) return;
  if (szTag.size() + 3 * nPerLine + 2 <= DUMP_BUFFER_SIZE) FUZZ_CHECK(nTag == szTag.size());
  for (size_t n = 0; n < g_lines.size(); ++n) {
    const size_t nChars = g_lines[n].size() - 1 - (n == 0 ? nTag : 0);
    const bool bLast = n + 1 == g_lines.size();
    FUZZ_CHECK(nChars % 3 == 0 && (bLast ? nChars > 0 && (long long)nChars <= 3 * nPerLine
                                         : (long long)nChars == 3 * nPerLine));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  if (nSize < 5) return 0;
  const uint8_t nForm = pData[0];
  uint32_t nValue;
  memcpy(&nValue, pData + 1, sizeof nValue);
  const std::string szRest((const char *)pData + 5, nSize - 5);
  const std::string szTag = szRest.c_str();  // up to the first NUL
  const size_t nBody = szTag.size() < szRest.size() ? szTag.size() + 1 : szRest.size();
  const std::string szText = szRest.c_str() + nBody;
  const BYTE *pBytes = (const BYTE *)pData + 5 + nBody;
  const int nBytes = (int)(szRest.size() - nBody);

  SimSetDebugListener(Listen, nullptr);
  g_lines.clear();
  const DWORD dwError = 0x5EED0000u | nForm;
  SetLastError(dwError);
  switch (nForm & 3) {
    case 0: {
      const int nLine = __LINE__ + 1;
      TRACE(szTag.c_str(), szText.c_str());
      CheckLine(szTag, nLine, szText);
      break;
    }
    case 1: {
      const int nLine = __LINE__ + 1;
      TRACE_ERR(szTag.c_str(), szText.c_str(), nValue);
      CheckLine(szTag, nLine, szText + " Error=" + std::to_string((int)nValue));
      break;
    }
    case 2: {
      const int nLine = __LINE__ + 1;
      TRACE_FMT(szTag.c_str(), "%s=%d", szText.c_str(), (int)nValue);
      std::string szFormatted = szText + "=" + std::to_string((int)nValue);
      if (szFormatted.size() > TRACE_LINE_SIZE - 1) szFormatted.resize(TRACE_LINE_SIZE - 1);
      CheckLine(szTag, nLine, szFormatted);
      break;
    }
    default: {
      const int nLength = (nForm & 4) ? -nBytes : nBytes;
      DumpHex(szTag.c_str(), pBytes, nLength, (int)nValue);
      CheckDump(szTag, pBytes, nLength, (int)nValue);
      break;
    }
  }
  FUZZ_CHECK(GetLastError() == dwError);
  SimSetDebugListener(nullptr, nullptr);
  return 0;
}
