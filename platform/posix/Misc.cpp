// System message texts (FormatMessageA), text conversion
// (MultiByteToWideChar) and the debugger output channel (OutputDebugStringA).
#include <string.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "Kernel.h"

namespace emu {
namespace {

// ---- Messages ----

struct CMessage {
  DWORD dwCode;
  const char *pszText;
};

// Worded as on an English Windows system.
const CMessage g_Messages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {21, "The device is not ready.\r\n"},
    {22, "The device does not recognize the command.\r\n"},
    {23, "Data error (cyclic redundancy check).\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {157, "The segment is already discarded and cannot be locked.\r\n"},
    {158, "The segment is already unlocked.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {995,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request.\r\n"},
    {996, "Overlapped I/O event is not in a signaled state.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1784, "The supplied user buffer is not valid for the requested operation.\r\n"},
};

std::mutex g_MessageLock;  // trivially destructible
// Overrides by SimSetMessageText; never destroyed.
std::map<DWORD, std::string> &Overrides() {
  static auto *s_pOverrides = new std::map<DWORD, std::string>;
  return *s_pOverrides;
}

bool FindMessage(DWORD dwCode, std::string &text) {
  {
    std::lock_guard<std::mutex> lock(g_MessageLock);
    auto it = Overrides().find(dwCode);
    if (it != Overrides().end()) {
      text = it->second;
      return true;
    }
  }
  for (const CMessage &msg : g_Messages) {
    if (msg.dwCode == dwCode) {
      text = msg.pszText;
      return true;
    }
  }
  return false;
}

// ---- Debugger output ----

struct CListener {
  SIM_DEBUG_LISTENER pfn;
  void *pContext;
  int nActive;  // calls in progress (under g_DebugLock)
};

// Never destroyed: detached threads may trace during static destruction.
struct CDebugState {
  std::mutex m_Lock;
  std::condition_variable m_Cond;
  std::shared_ptr<CListener> m_pListener;  // under m_Lock
};
CDebugState &Debug() {
  static auto *s_pDebug = new CDebugState;
  return *s_pDebug;
}
// Listener calls in progress on this thread: a listener may detach itself
// without waiting for its own call to end.
thread_local int t_nInListener = 0;
// Whether a listener is attached, for IsDebuggerPresent: a plain load, as
// Windows reads the process's own flag without a system call.
std::atomic<bool> g_bListening(false);

// ---- Text conversion ----

const uint16_t g_Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Decodes one UTF-8 sequence at p (n bytes left). Returns the bytes taken
// (at least 1) and the code point, or -1 in *pcp for an invalid sequence:
// the longest valid start of one ("maximal subpart"), so that each bad
// piece becomes one U+FFFD. The second byte's range rules out overlong
// forms, surrogates and code points above U+10FFFF.
size_t DecodeUtf8(const unsigned char *p, size_t n, long *pcp) {
  const unsigned char c = p[0];
  *pcp = -1;
  if (c < 0x80) {
    *pcp = c;
    return 1;
  }
  size_t nLen;
  long cp;
  unsigned char nLow = 0x80;
  unsigned char nHigh = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    nLen = 2, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    nLen = 3, cp = c & 0x0F;
    if (c == 0xE0) nLow = 0xA0;
    if (c == 0xED) nHigh = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    nLen = 4, cp = c & 0x07;
    if (c == 0xF0) nLow = 0x90;
    if (c == 0xF4) nHigh = 0x8F;
  } else {
    return 1;
  }
  for (size_t i = 1; i < nLen; ++i) {
    if (i >= n || p[i] < nLow || p[i] > nHigh) return i;
    cp = (cp << 6) | (p[i] & 0x3F);
    nLow = 0x80;
    nHigh = 0xBF;
  }
  *pcp = cp;
  return nLen;
}

}  // namespace

void MiscReset() {
  SimSetDebugListener(nullptr, nullptr);
  std::lock_guard<std::mutex> lock(g_MessageLock);
  Overrides().clear();
}

}  // namespace emu

using namespace emu;

extern "C" {

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list *Arguments) {
  (void)lpSource;
  (void)Arguments;
  if (InjectedFailure(SIM_FN_FormatMessageA)) return 0;
  const DWORD dwKnown = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if ((dwFlags & ~dwKnown) != 0 || (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
      lpBuffer == nullptr) {
    return Fail<DWORD>(0, ERROR_INVALID_PARAMETER);
  }
  if (dwLanguageId != 0 && dwLanguageId != MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) &&
      dwLanguageId != 0x0409) {
    return Fail<DWORD>(0, ERROR_RESOURCE_LANG_NOT_FOUND);
  }
  std::string text;
  if (!FindMessage(dwMessageId, text)) return Fail<DWORD>(0, ERROR_MR_MID_NOT_FOUND);
  // Inserts ("%1") are not expanded: a text that has them needs
  // FORMAT_MESSAGE_IGNORE_INSERTS.
  if ((dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0 && text.find('%') != std::string::npos) {
    return Fail<DWORD>(0, ERROR_INVALID_PARAMETER);
  }
  const DWORD nLen = static_cast<DWORD>(text.size());
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    const SIZE_T nBytes = nLen + 1 > nSize ? nLen + 1 : nSize;
    char *p = static_cast<char *>(LocalAllocBlock(nBytes));
    if (p == nullptr) return Fail<DWORD>(0, ERROR_NOT_ENOUGH_MEMORY);
    memcpy(p, text.c_str(), nLen + 1);
    *reinterpret_cast<char **>(lpBuffer) = p;
    return nLen;
  }
  if (nSize < nLen + 1) return Fail<DWORD>(0, ERROR_INSUFFICIENT_BUFFER);
  memcpy(lpBuffer, text.c_str(), nLen + 1);
  return nLen;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  if (InjectedFailure(SIM_FN_MultiByteToWideChar)) return 0;
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (lpWideCharStr == nullptr && cchWideChar > 0) ||
      (CodePage != CP_ACP && CodePage != CP_UTF8)) {
    return Fail(0, ERROR_INVALID_PARAMETER);
  }
  const DWORD dwAllowed =
      CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : MB_PRECOMPOSED | MB_ERR_INVALID_CHARS;
  if ((dwFlags & ~dwAllowed) != 0) return Fail(0, ERROR_INVALID_FLAGS);

  const auto *p = reinterpret_cast<const unsigned char *>(lpMultiByteStr);
  // -1: up to and including the terminating null.
  const size_t n =
      cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  size_t nOut = 0;
  auto put = [&](uint16_t wc) {
    if (cchWideChar > 0 && nOut < static_cast<size_t>(cchWideChar)) lpWideCharStr[nOut] = wc;
    ++nOut;
  };
  for (size_t i = 0; i < n;) {
    if (CodePage == CP_ACP) {
      const unsigned char c = p[i++];
      put(c >= 0x80 && c <= 0x9F ? g_Cp1252High[c - 0x80] : c);
      continue;
    }
    long cp;
    i += DecodeUtf8(p + i, n - i, &cp);
    if (cp < 0) {
      if (dwFlags & MB_ERR_INVALID_CHARS) return Fail(0, ERROR_NO_UNICODE_TRANSLATION);
      put(0xFFFD);
    } else if (cp >= 0x10000) {
      put(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      put(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      put(static_cast<uint16_t>(cp));
    }
  }
  if (nOut > 0x7FFFFFFF) return Fail(0, ERROR_INVALID_PARAMETER);
  if (cchWideChar > 0 && nOut > static_cast<size_t>(cchWideChar)) {
    return Fail(0, ERROR_INSUFFICIENT_BUFFER);
  }
  return static_cast<int>(nOut);
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  if (lpOutputString == nullptr) return;
  {
    // Counted; an injected failure drops the text and, as every output
    // does, keeps the caller's last error.
    const DWORD dwLastError = GetLastError();
    const bool bDropped = InjectedFailure(SIM_FN_OutputDebugStringA);
    SetLastError(dwLastError);
    if (bDropped) return;
  }
  CDebugState &dbg = Debug();
  std::shared_ptr<CListener> pListener;
  {
    std::lock_guard<std::mutex> lock(dbg.m_Lock);
    if (!dbg.m_pListener) return;
    pListener = dbg.m_pListener;
    ++pListener->nActive;
  }
  // The listener may do anything; the caller's last error survives it.
  const DWORD dwLastError = GetLastError();
  ++t_nInListener;
  pListener->pfn(lpOutputString, pListener->pContext);
  --t_nInListener;
  SetLastError(dwLastError);
  std::lock_guard<std::mutex> lock(dbg.m_Lock);
  --pListener->nActive;
  dbg.m_Cond.notify_all();
}

BOOL WINAPI IsDebuggerPresent(void) {
  return g_bListening.load(std::memory_order_relaxed) ? TRUE : FALSE;
}

void SimSetDebugListener(SIM_DEBUG_LISTENER pfnListener, void *pContext) {
  std::shared_ptr<CListener> pNew;
  if (pfnListener != nullptr)
    pNew = std::make_shared<CListener>(CListener{pfnListener, pContext, 0});
  CDebugState &dbg = Debug();
  std::unique_lock<std::mutex> lock(dbg.m_Lock);
  std::shared_ptr<CListener> pOld = std::move(dbg.m_pListener);
  dbg.m_pListener = std::move(pNew);
  g_bListening.store(pfnListener != nullptr, std::memory_order_relaxed);
  // The old listener is never called once this returns: wait for the calls
  // in progress on other threads (this thread's own call may be one).
  if (pOld) dbg.m_Cond.wait(lock, [&] { return pOld->nActive <= t_nInListener; });
}

void SimSetMessageText(DWORD dwCode, const char *pszText) {
  std::lock_guard<std::mutex> lock(g_MessageLock);
  if (pszText == nullptr) {
    Overrides().erase(dwCode);
  } else {
    Overrides()[dwCode] = pszText;
  }
}

}  // extern "C"
