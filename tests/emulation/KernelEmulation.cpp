// The kernel's emulation-only contract: failure injection of every kernel
// call, the debugger listener, message texts, text conversion, the leak
// report and the details of handles and memory blocks.
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SimFixture.h"
#include "velto/platform.h"

namespace {

constexpr DWORD kBoundMs = 10000;
constexpr DWORD kInjected = 4321;

class KernelEmulation : public CSimTest {};

DWORD WINAPI ReturnParam(LPVOID pParam) {
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(pParam));
}

// One kernel call per injectable function: call() makes the call once and
// returns true when it gave the function's failure value.
struct CCase {
  int nFn;
  std::function<bool()> call;
};

TEST_F(KernelEmulation, EveryKernelCallCanBeMadeToFail) {
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  HGLOBAL hMem = GlobalAlloc(GHND, 16);
  ASSERT_TRUE(hEvent && hMutex && hMem);
  std::vector<HANDLE> created;
  std::vector<HANDLE> threads;
  const std::vector<CCase> cases = {
      {SIM_FN_CreateEventA,
       [&] {
         HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
         if (h) created.push_back(h);
         return h == nullptr;
       }},
      {SIM_FN_CreateMutexA,
       [&] {
         HANDLE h = CreateMutexA(nullptr, FALSE, nullptr);
         if (h) created.push_back(h);
         return h == nullptr;
       }},
      {SIM_FN_CreateThread,
       [&] {
         HANDLE h = CreateThread(nullptr, 0, ReturnParam, nullptr, 0, nullptr);
         if (h) threads.push_back(h);
         return h == nullptr;
       }},
      {SIM_FN_SetEvent, [&] { return !SetEvent(hEvent); }},
      {SIM_FN_ResetEvent, [&] { return !ResetEvent(hEvent); }},
      {SIM_FN_WaitForSingleObject,
       [&] {
         SetEvent(hEvent);
         return WaitForSingleObject(hEvent, 0) == WAIT_FAILED;
       }},
      {SIM_FN_WaitForMultipleObjects,
       [&] {
         SetEvent(hEvent);
         return WaitForMultipleObjects(1, &hEvent, FALSE, 0) == WAIT_FAILED;
       }},
      {SIM_FN_ReleaseMutex,
       [&] {
         WaitForSingleObject(hMutex, 0);
         return !ReleaseMutex(hMutex);
       }},
      {SIM_FN_ResumeThread,
       [&] {
         HANDLE h = CreateThread(nullptr, 0, ReturnParam, nullptr, CREATE_SUSPENDED, nullptr);
         threads.push_back(h);
         const DWORD n = ResumeThread(h);
         if (n == static_cast<DWORD>(-1)) {
           EXPECT_EQ(GetLastError(), kInjected);
           ResumeThread(h);
         }
         return n == static_cast<DWORD>(-1);
       }},
      {SIM_FN_CloseHandle,
       [&] {
         HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
         if (CloseHandle(h)) return false;
         created.push_back(h);  // still open
         return true;
       }},
      {SIM_FN_GlobalAlloc,
       [&] {
         HGLOBAL h = GlobalAlloc(GHND, 8);
         if (h) GlobalFree(h);
         return h == nullptr;
       }},
      {SIM_FN_GlobalLock,
       [&] {
         void *p = GlobalLock(hMem);
         if (p) GlobalUnlock(hMem);
         return p == nullptr;
       }},
      {SIM_FN_GlobalUnlock,
       [&] {
         // Net one more lock per call, so the unlock itself succeeds.
         GlobalLock(hMem);
         GlobalLock(hMem);
         return !GlobalUnlock(hMem);
       }},
      {SIM_FN_GlobalFree,
       [&] {
         HGLOBAL h = GlobalAlloc(GHND, 8);
         if (GlobalFree(h) == nullptr) return false;
         EXPECT_EQ(GlobalFree(h), nullptr);  // the block was left alone
         return true;
       }},
      {SIM_FN_FormatMessageA,
       [&] {
         LPSTR psz = nullptr;
         const DWORD n =
             FormatMessageA(0x1300, nullptr, 5, 0x400, reinterpret_cast<LPSTR>(&psz), 0, nullptr);
         if (psz) LocalFree(psz);
         return n == 0 && psz == nullptr;
       }},
      {SIM_FN_LocalFree,
       [&] {
         LPSTR psz = nullptr;
         FormatMessageA(0x1300, nullptr, 5, 0x400, reinterpret_cast<LPSTR>(&psz), 0, nullptr);
         if (LocalFree(psz) == nullptr) return false;
         EXPECT_EQ(LocalFree(psz), nullptr);
         return true;
       }},
      {SIM_FN_MultiByteToWideChar,
       [&] {
         WCHAR wsz[4];
         return MultiByteToWideChar(CP_ACP, 0, "ab", 2, wsz, 4) == 0;
       }},
  };
  CRITICAL_SECTION cs;
  const std::vector<CCase> lockCases = {
      {SIM_FN_InitializeCriticalSectionAndSpinCount,
       [&] {
         if (!InitializeCriticalSectionAndSpinCount(&cs, 0)) return true;
         DeleteCriticalSection(&cs);
         return false;
       }},
  };
  std::vector<CCase> all = cases;
  all.insert(all.end(), lockCases.begin(), lockCases.end());
  for (const CCase &c : all) {
    SCOPED_TRACE(SimFnName(c.nFn));
    const DWORD nBefore = SimCallCount(c.nFn);
    // One success, then the injected failure, then success again.
    SimInjectFailure(c.nFn, 1, 1, kInjected);
    EXPECT_FALSE(c.call());
    SetLastError(0);
    EXPECT_TRUE(c.call());
    EXPECT_EQ(GetLastError(), kInjected);
    EXPECT_FALSE(c.call());
    EXPECT_GE(SimCallCount(c.nFn), nBefore + 3);
  }
  for (HANDLE h : threads) {
    EXPECT_EQ(WaitForSingleObject(h, kBoundMs), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(h));
  }
  for (HANDLE h : created) EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(CloseHandle(hEvent));
  EXPECT_TRUE(CloseHandle(hMutex));
  EXPECT_EQ(GlobalFree(hMem), nullptr);
}

TEST_F(KernelEmulation, InjectedFailureDoesNothingElse) {
  const DWORD nHandles = SimOpenHandleCount();
  SimInjectFailure(SIM_FN_CreateEventA, 0, 1, kInjected);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
  EXPECT_EQ(SimOpenHandleCount(), nHandles);

  HANDLE hEvent = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  SimInjectFailure(SIM_FN_WaitForSingleObject, 0, 1, kInjected);
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);  // not consumed before
  SimInjectFailure(SIM_FN_SetEvent, 0, 1, kInjected);
  EXPECT_FALSE(SetEvent(hEvent));
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_TIMEOUT);

  SimInjectFailure(SIM_FN_CreateThread, 0, 1, kInjected);
  EXPECT_EQ(CreateThread(nullptr, 0, ReturnParam, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(SimLiveThreadCount(), 0u);
  EXPECT_TRUE(CloseHandle(hEvent));
}

TEST_F(KernelEmulation, InjectionUntilClearedAndReset) {
  SimInjectFailure(SIM_FN_SetEvent, 0, MAXDWORD, kInjected);
  HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(SetEvent(hEvent));
  SimClearInjections();
  EXPECT_TRUE(SetEvent(hEvent));
  EXPECT_EQ(SimCallCount(SIM_FN_SetEvent), 6u);
  SimInjectFailure(SIM_FN_SetEvent, 0, MAXDWORD, kInjected);
  SimReset();  // clears injections and counts
  EXPECT_EQ(SimCallCount(SIM_FN_SetEvent), 0u);
  EXPECT_TRUE(SetEvent(hEvent));
  EXPECT_TRUE(CloseHandle(hEvent));
  EXPECT_STREQ(SimFnName(SIM_FN_WaitForMultipleObjects), "WaitForMultipleObjects");
}

TEST_F(KernelEmulation, AllocationInjectionLeavesTheLastErrorAlone) {
  SimInjectFailure(SIM_FN_ALLOC, 1, 1, kInjected);
  SetLastError(7);
  EXPECT_FALSE(SimAllocShouldFail());
  EXPECT_TRUE(SimAllocShouldFail());
  EXPECT_FALSE(SimAllocShouldFail());
  EXPECT_EQ(GetLastError(), 7u);
  EXPECT_EQ(SimCallCount(SIM_FN_ALLOC), 3u);
}

TEST_F(KernelEmulation, WaitCallCountSeesCallsOfOtherThreads) {
  HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread waiter([&] { WaitForSingleObject(hEvent, kBoundMs); });
  EXPECT_TRUE(SimWaitCallCount(SIM_FN_WaitForSingleObject, 1, kBoundMs));
  EXPECT_FALSE(SimWaitCallCount(SIM_FN_WaitForSingleObject, 2, 0));
  SetEvent(hEvent);
  waiter.join();
  EXPECT_TRUE(CloseHandle(hEvent));
}

// ---- Handles and waits ----

// As on Windows, a freed value comes back at once (the most recently freed
// first), so a stale handle hits a live object in tests as in the field.
TEST_F(KernelEmulation, HandleValuesAreReusedMostRecentlyFreedFirst) {
  HANDLE ah[3];
  for (HANDLE &h : ah) {
    h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto nValue = reinterpret_cast<uintptr_t>(h);
    EXPECT_EQ(nValue % 4, 0u);
    EXPECT_LT(nValue, 1u << 30);
  }
  ASSERT_TRUE(CloseHandle(ah[0]));
  ASSERT_TRUE(CloseHandle(ah[1]));
  HANDLE hFirst = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE hSecond = CreateMutexA(nullptr, FALSE, nullptr);
  EXPECT_EQ(hFirst, ah[1]);
  EXPECT_EQ(hSecond, ah[0]);
  EXPECT_TRUE(ReleaseMutex(hSecond) == FALSE) << "the stale value now names a mutex";
  for (HANDLE h : {hFirst, hSecond, ah[2]}) EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

TEST_F(KernelEmulation, WaitAllRefusesTheSameObjectTwice) {
  HANDLE hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE ah[2] = {hEvent, hEvent};
  EXPECT_EQ(WaitForMultipleObjects(2, ah, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(WaitForMultipleObjects(2, nullptr, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
  EXPECT_TRUE(CloseHandle(hEvent));
}

// The waiter holds the object: closing its only handle mid-wait neither
// crashes nor ends the wait, and the object goes when the wait ends.
TEST_F(KernelEmulation, ObjectOutlivesItsHandleDuringAWait) {
  HANDLE hDoomed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD dwResult = 0;
  std::thread waiter([&] { dwResult = WaitForSingleObject(hDoomed, 200); });
  ASSERT_TRUE(SimWaitCallCount(SIM_FN_WaitForSingleObject, 1, kBoundMs));
  EXPECT_TRUE(CloseHandle(hDoomed));
  waiter.join();
  // WAIT_FAILED only if the close came first; never anything else.
  EXPECT_TRUE(dwResult == WAIT_TIMEOUT || dwResult == WAIT_FAILED) << dwResult;
  EXPECT_EQ(SimOpenHandleCount(), 0u);
}

// Threads not made by CreateThread (Java's, the tests') abandon what they own
// when they exit, as on Windows.
TEST_F(KernelEmulation, ForeignThreadEndingAbandonsItsMutex) {
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  std::thread owner([&] { EXPECT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0); });
  owner.join();
  EXPECT_EQ(WaitForSingleObject(hMutex, kBoundMs), WAIT_ABANDONED_0);
  EXPECT_TRUE(ReleaseMutex(hMutex));
  // A thread that released what it took abandons nothing.
  std::thread tidy([&] {
    EXPECT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(hMutex));
  });
  tidy.join();
  EXPECT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(hMutex));
  EXPECT_TRUE(CloseHandle(hMutex));
}

// As on Windows, an id comes back once its thread has ended and its objects
// are gone, the most recently freed first; an open handle keeps it taken.
TEST_F(KernelEmulation, ThreadIdsAreHandedOutAgainOnceFree) {
  DWORD adwTid[5] = {};
  std::thread([&] { adwTid[0] = GetCurrentThreadId(); }).join();
  HANDLE ah[5] = {};
  for (int i = 1; i < 5; ++i) {
    EXPECT_TRUE(i != 3 || (CloseHandle(ah[1]) && CloseHandle(ah[2])));
    ah[i] = CreateThread(nullptr, 0, ReturnParam, nullptr, 0, &adwTid[i]);
    EXPECT_EQ(WaitForSingleObject(ah[i], kBoundMs), WAIT_OBJECT_0);
  }
  EXPECT_EQ(adwTid[1], adwTid[0]) << "a foreign thread's id";
  EXPECT_NE(adwTid[2], adwTid[1]) << "taken while an ended thread's handle is open";
  EXPECT_EQ(adwTid[3], adwTid[2]);
  EXPECT_EQ(adwTid[4], adwTid[1]);
  EXPECT_TRUE(CloseHandle(ah[3]) && CloseHandle(ah[4]));
}

TEST_F(KernelEmulation, NamedMutexesAreRefused) {
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "x"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---- Memory ----

TEST_F(KernelEmulation, GlobalMemoryRefusesBadHandles) {
  HGLOBAL hMem = GlobalAlloc(GMEM_MOVEABLE, 4);
  ASSERT_NE(hMem, nullptr);
  auto *p = static_cast<unsigned char *>(GlobalLock(hMem));
  ASSERT_NE(p, nullptr);
  EXPECT_NE(static_cast<void *>(p), hMem);  // a handle, not the address
  EXPECT_EQ(p[0], 0xCD);                    // not zeroed without GMEM_ZEROINIT
  GlobalUnlock(hMem);
  EXPECT_FALSE(GlobalUnlock(hMem));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
  EXPECT_EQ(GlobalFree(hMem), nullptr);
  EXPECT_EQ(GlobalFree(hMem), hMem);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GlobalLock(hMem), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  HGLOBAL hFixed = GlobalAlloc(GPTR, 4);
  EXPECT_EQ(GlobalLock(hFixed), hFixed);
  EXPECT_TRUE(GlobalUnlock(hFixed));
  EXPECT_EQ(LocalFree(hFixed), nullptr);  // one heap, as on Windows
  EXPECT_EQ(LocalFree(hFixed), hFixed);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  EXPECT_EQ(GlobalAlloc(0x8000, 4), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---- Messages ----

std::string Message(DWORD dwCode, DWORD dwLanguage = 0x400) {
  LPSTR psz = nullptr;
  const DWORD n = FormatMessageA(0x1300, nullptr, dwCode, dwLanguage, reinterpret_cast<LPSTR>(&psz),
                                 0, nullptr);
  if (n == 0) return "<" + std::to_string(GetLastError()) + ">";
  std::string text(psz, n);
  EXPECT_EQ(LocalFree(psz), nullptr);
  return text;
}

TEST_F(KernelEmulation, MessageTextsAreTheEnglishOnes) {
  EXPECT_EQ(Message(0), "The operation completed successfully.\r\n");
  EXPECT_EQ(Message(2), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(Message(5, 0), "Access is denied.\r\n");
  EXPECT_EQ(Message(6), "The handle is invalid.\r\n");
  EXPECT_EQ(Message(87), "The parameter is incorrect.\r\n");
  EXPECT_EQ(Message(1167), "The device is not connected.\r\n");
  EXPECT_EQ(Message(0x2FFFFFFF), "<317>");
  EXPECT_EQ(Message(5, 0x407), "<1815>");  // no German texts here
}

TEST_F(KernelEmulation, MessageTextOverrideAndRestore) {
  SimSetMessageText(5, "Zugriff verweigert \xE4\r\n");
  SimSetMessageText(0x20000001, "Custom.\r\n");
  EXPECT_EQ(Message(5), "Zugriff verweigert \xE4\r\n");
  EXPECT_EQ(Message(0x20000001), "Custom.\r\n");
  SimSetMessageText(5, nullptr);
  EXPECT_EQ(Message(5), "Access is denied.\r\n");
  SimReset();
  EXPECT_EQ(Message(0x20000001), "<317>");
}

TEST_F(KernelEmulation, MessageIntoACallerBuffer) {
  char sz[64];
  EXPECT_EQ(FormatMessageA(0x1200, nullptr, 6, 0, sz, sizeof sz, nullptr), 24u);
  EXPECT_STREQ(sz, "The handle is invalid.\r\n");
  EXPECT_EQ(FormatMessageA(0x1200, nullptr, 6, 0, sz, 10, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "x", 6, 0, sz, sizeof sz, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---- Text conversion ----

TEST_F(KernelEmulation, AnsiIsWindows1252) {
  const char *psz = "A\x80\x9F\xE9";
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0), 5);
  WCHAR wsz[5];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, psz, -1, wsz, 5), 5);
  EXPECT_EQ(wsz[0], u'A');
  EXPECT_EQ(wsz[1], 0x20AC);
  EXPECT_EQ(wsz[2], 0x0178);
  EXPECT_EQ(wsz[3], 0x00E9);
  EXPECT_EQ(wsz[4], 0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, psz, -1, wsz, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, psz, 0, wsz, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(1251, 0, psz, 1, wsz, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(KernelEmulation, Utf8WithSurrogatesAndInvalidBytes) {
  const char *psz = "\xE2\x82\xAC\xF0\x9F\x98\x80x";  // euro, U+1F600, x
  WCHAR wsz[8];
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, psz, 8, wsz, 8), 4);
  EXPECT_EQ(wsz[0], 0x20AC);
  EXPECT_EQ(wsz[1], 0xD83D);
  EXPECT_EQ(wsz[2], 0xDE00);
  EXPECT_EQ(wsz[3], u'x');
  // Overlong '/', an encoded surrogate, a sequence cut short: one U+FFFD
  // for each maximal bad piece.
  const char *pszBad =
      "a\xC0\xAF"
      "b\xED\xA0\x80\xE2\x82";
  const WCHAR awExpected[] = {u'a', 0xFFFD, 0xFFFD, u'b', 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD};
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, pszBad, 9, wsz, 8), 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(wsz[i], awExpected[i]) << i;
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pszBad, 7, wsz, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, psz, 8, wsz, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

// ---- Debugger output ----

TEST_F(KernelEmulation, ListenerGetsTheExactTextOnTheCallingThread) {
  OutputDebugStringA("usbInitPipe(12) hello\n");
  std::thread other([] { OutputDebugStringA("from another thread"); });
  other.join();
  ASSERT_TRUE(WaitForLine("another", kBoundMs));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "usbInitPipe(12) hello\n");
  EXPECT_EQ(lines[1], "from another thread");
  ClearLines();
  EXPECT_TRUE(Lines().empty());
}

struct CRecorder {
  std::atomic<int> nCalls{0};
  std::atomic<DWORD> dwTid{0};
};

void Record(const char *, void *pContext) {
  auto *p = static_cast<CRecorder *>(pContext);
  p->dwTid = GetCurrentThreadId();
  ++p->nCalls;
  SetLastError(999);  // must not leak to the caller
}

TEST_F(KernelEmulation, OutputKeepsTheLastErrorAndIsSilentWithoutListener) {
  CRecorder rec;
  SimSetDebugListener(Record, &rec);
  EXPECT_TRUE(IsDebuggerPresent()) << "the listener plays the debugger";
  SetLastError(ERROR_ACCESS_DENIED);
  OutputDebugStringA("x");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(rec.nCalls, 1);
  EXPECT_EQ(rec.dwTid, GetCurrentThreadId());
  SimSetDebugListener(nullptr, nullptr);
  EXPECT_FALSE(IsDebuggerPresent());
  OutputDebugStringA("nobody listens");
  OutputDebugStringA(nullptr);
  EXPECT_EQ(rec.nCalls, 1);
}

// Output is counted; an injected failure drops the text and, as every
// output does, keeps the caller's last error.
TEST_F(KernelEmulation, OutputIsCountedAndCanBeDropped) {
  SimInjectFailure(SIM_FN_OutputDebugStringA, 1, 1, kInjected);
  SetLastError(ERROR_ACCESS_DENIED);
  OutputDebugStringA("kept");
  OutputDebugStringA("dropped");
  OutputDebugStringA("kept again");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SimCallCount(SIM_FN_OutputDebugStringA), 3u);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"kept", "kept again"}));
}

// A listener that is detached is never called again, however many threads
// are writing at that moment.
TEST_F(KernelEmulation, DetachIsSafeAgainstConcurrentOutput) {
  std::atomic<bool> bStop{false};
  std::vector<std::thread> writers;
  for (int i = 0; i < 3; ++i) {
    writers.emplace_back([&] {
      while (!bStop) OutputDebugStringA("line");
    });
  }
  for (int i = 0; i < 200; ++i) {
    CRecorder rec;
    SimSetDebugListener(Record, &rec);
    SimSetDebugListener(nullptr, nullptr);
    const int nAfterDetach = rec.nCalls;
    std::this_thread::yield();
    ASSERT_EQ(rec.nCalls, nAfterDetach);  // rec dies here: a late call would be a use after free
  }
  bStop = true;
  for (auto &t : writers) t.join();
}

void DetachSelf(const char *, void *pContext) {
  SimSetDebugListener(nullptr, nullptr);
  ++static_cast<CRecorder *>(pContext)->nCalls;
}

TEST_F(KernelEmulation, ListenerMayDetachItself) {
  CRecorder rec;
  SimSetDebugListener(DetachSelf, &rec);
  OutputDebugStringA("once");
  OutputDebugStringA("never");
  EXPECT_EQ(rec.nCalls, 1);
}

// ---- Timer granularity ----

// While a granularity is set every time-out lasts whole ticks, at least what
// was asked (41 ms: two ticks of 40 ms); SimReset makes them exact again.
TEST_F(KernelEmulation, TimeOutsLastWholeTicksUntilReset) {
  const SIMDEV dev = SimPlug(SIM_CLASS_NATIVE, &SIM_GUID_DEVINTERFACE_USBPRINT, "tick");
  const COMMTIMEOUTS to = {0, 0, 41, 0, 0};
  ASSERT_TRUE(SimSetTimeouts(dev, &to));
  HANDLE h = CreateFileA("tick", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CONDITION_VARIABLE cv = CONDITION_VARIABLE_INIT;
  SRWLOCK lock = SRWLOCK_INIT;
  BYTE b = 0;
  DWORD n = 1;
  const std::function<bool()> waits[] = {
      [] { return Sleep(41), true; },
      [&] { return WaitForSingleObject(hEvent, 41) == WAIT_TIMEOUT; },
      [&] { return WaitForMultipleObjects(1, &hEvent, FALSE, 41) == WAIT_TIMEOUT; },
      [&] { return !SleepConditionVariableSRW(&cv, &lock, 41, 0); },
      [&] { return ReadFile(h, &b, 1, &n, nullptr) && n == 0; }};
  auto taken = [](const std::function<bool()> &wait) {
    const auto tpStart = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait());
    return std::chrono::steady_clock::now() - tpStart;
  };
  SimSetTimerGranularity(40000);
  AcquireSRWLockExclusive(&lock);
  for (const auto &wait : waits) EXPECT_GE(taken(wait), std::chrono::milliseconds(80));
  ReleaseSRWLockExclusive(&lock);
  SimSetTimerGranularity(60000000);
  SimReset();
  EXPECT_LT(taken(waits[0]), std::chrono::milliseconds(kBoundMs));
  EXPECT_TRUE(CloseHandle(h) && CloseHandle(hEvent));
}

// ---- Leak report ----

TEST_F(KernelEmulation, LeakReportNamesWhatIsLeftOpen) {
  HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE hThread = CreateThread(nullptr, 0, ReturnParam, nullptr, CREATE_SUSPENDED, nullptr);
  HGLOBAL hMem = GlobalAlloc(GHND, 10);
  LPSTR psz = nullptr;
  FormatMessageA(0x1300, nullptr, 2, 0, reinterpret_cast<LPSTR>(&psz), 0, nullptr);
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  char sz[1024];
  // handle + handle + live thread + global block + local block + critical section
  EXPECT_EQ(SimLeakReport(sz, sizeof sz, 0), 6u);
  const std::string report = sz;
  EXPECT_NE(report.find("critical section"), std::string::npos) << report;
  DeleteCriticalSection(&cs);
  EXPECT_NE(report.find("event"), std::string::npos) << report;
  EXPECT_NE(report.find("suspended"), std::string::npos) << report;
  EXPECT_NE(report.find("global"), std::string::npos) << report;
  EXPECT_NE(report.find("local"), std::string::npos) << report;
  EXPECT_EQ(SimLiveThreadCount(), 1u);
  EXPECT_EQ(SimOpenHandleCount(), 2u);

  char szTiny[8];
  EXPECT_EQ(SimLeakReport(szTiny, sizeof szTiny, 0), 5u);
  EXPECT_EQ(strlen(szTiny), 7u);

  // A thread that is ending is waited for within the grace period.
  ResumeThread(hThread);
  CloseHandle(hThread);
  CloseHandle(hEvent);
  GlobalFree(hMem);
  LocalFree(psz);
  EXPECT_EQ(SimLeakReport(nullptr, 0, kBoundMs), 0u);
  EXPECT_EQ(SimLiveThreadCount(), 0u);
}

}  // namespace
