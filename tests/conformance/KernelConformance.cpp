// Kernel objects as the library relies on them: last error, handles,
// events, mutexes, threads, waits, global memory and system messages.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <set>
#include <string>

#include "Conformance.h"

using conformance::Close;
using conformance::kBoundMs;
using conformance::StartThread;

namespace {

HANDLE NewEvent(BOOL bManual, BOOL bSet) {
  HANDLE h = CreateEventA(nullptr, bManual, bSet, nullptr);
  EXPECT_NE(h, nullptr) << "error " << GetLastError();
  return h;
}

bool IsSet(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

// ---- Last error and handles ----

TEST(LastError, IsPerThreadAndStartsAtZero) {
  SetLastError(1234);
  DWORD dwSeen = 99;
  HANDLE hThread = StartThread([&] {
    dwSeen = GetLastError();
    SetLastError(ERROR_ACCESS_DENIED);
    return GetLastError();
  });
  ASSERT_EQ(WaitForSingleObject(hThread, kBoundMs), WAIT_OBJECT_0);
  DWORD dwExit = 0;
  ASSERT_TRUE(GetExitCodeThread(hThread, &dwExit));
  EXPECT_EQ(dwSeen, 0u);
  EXPECT_EQ(dwExit, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(GetLastError(), 1234u);
  Close(hThread);
}

TEST(Handles, ValuesAreMultiplesOfFourThatFitAJavaInt) {
  HANDLE ahEvents[32];
  std::set<uintptr_t> values;
  for (HANDLE &h : ahEvents) {
    h = NewEvent(TRUE, FALSE);
    const auto nValue = reinterpret_cast<uintptr_t>(h);
    EXPECT_EQ(nValue % 4, 0u);
    EXPECT_LE(nValue, 0x7FFFFFFFu);
    values.insert(nValue);
  }
  EXPECT_EQ(values.size(), 32u);
  for (HANDLE h : ahEvents) Close(h);
}

TEST(Handles, ClosingABadOrClosedHandleFails) {
  HANDLE hEvent = NewEvent(TRUE, FALSE);
  Close(hEvent);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(hEvent));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Handles, UseOfAClosedHandleFails) {
  HANDLE hEvent = NewEvent(TRUE, TRUE);
  Close(hEvent);
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(hEvent));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(ResetEvent(hEvent));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// INVALID_HANDLE_VALUE is also the current-process pseudo-handle: closing it
// succeeds and does nothing, a wait on it times out, and it is no event.
// The library keeps failed opens' results and closes them later.
TEST(Handles, InvalidHandleValueIsTheProcessPseudoHandle) {
  SetLastError(0);
  EXPECT_TRUE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE) & 0xFFFFFFFFu, 0xFFFFFFFFu);
}

TEST(Handles, ObjectOfTheWrongTypeIsRefused) {
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(hMutex, nullptr);
  EXPECT_FALSE(SetEvent(hMutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE hEvent = NewEvent(TRUE, FALSE);
  EXPECT_FALSE(ReleaseMutex(hEvent));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  Close(hEvent);
  Close(hMutex);
}

// ---- Events ----

TEST(Events, ManualResetStaysSetUntilReset) {
  HANDLE hEvent = NewEvent(TRUE, TRUE);
  EXPECT_TRUE(IsSet(hEvent));
  EXPECT_TRUE(IsSet(hEvent));
  EXPECT_TRUE(ResetEvent(hEvent));
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(hEvent));
  EXPECT_TRUE(SetEvent(hEvent));
  EXPECT_TRUE(IsSet(hEvent));
  Close(hEvent);
}

TEST(Events, AutoResetIsConsumedByOneWait) {
  HANDLE hEvent = NewEvent(FALSE, TRUE);
  EXPECT_TRUE(IsSet(hEvent));
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(hEvent));
  EXPECT_TRUE(SetEvent(hEvent));  // does not count
  EXPECT_TRUE(IsSet(hEvent));
  EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_TIMEOUT);
  Close(hEvent);
}

TEST(Events, AutoResetReleasesOneWaiterPerSet) {
  HANDLE hEvent = NewEvent(FALSE, FALSE);
  auto waiter = [&] { return WaitForSingleObject(hEvent, kBoundMs); };
  HANDLE ahThreads[2] = {StartThread(waiter), StartThread(waiter)};
  ASSERT_TRUE(SetEvent(hEvent));
  const DWORD dwFirst = WaitForMultipleObjects(2, ahThreads, FALSE, kBoundMs);
  ASSERT_LT(dwFirst, WAIT_OBJECT_0 + 2);
  HANDLE hOther = ahThreads[1 - (dwFirst - WAIT_OBJECT_0)];
  // The other waiter cannot have been released by the same SetEvent.
  EXPECT_EQ(WaitForSingleObject(hOther, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(hEvent));
  EXPECT_EQ(WaitForSingleObject(hOther, kBoundMs), WAIT_OBJECT_0);
  for (HANDLE h : ahThreads) {
    DWORD dwExit = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &dwExit));
    EXPECT_EQ(dwExit, WAIT_OBJECT_0);
    Close(h);
  }
  Close(hEvent);
}

TEST(Events, ManualResetReleasesEveryWaiter) {
  HANDLE hEvent = NewEvent(TRUE, FALSE);
  auto waiter = [&] { return WaitForSingleObject(hEvent, kBoundMs); };
  HANDLE ahThreads[3] = {StartThread(waiter), StartThread(waiter), StartThread(waiter)};
  ASSERT_TRUE(SetEvent(hEvent));
  EXPECT_EQ(WaitForMultipleObjects(3, ahThreads, TRUE, kBoundMs), WAIT_OBJECT_0);
  for (HANDLE h : ahThreads) {
    DWORD dwExit = 1;
    EXPECT_TRUE(GetExitCodeThread(h, &dwExit));
    EXPECT_EQ(dwExit, WAIT_OBJECT_0);
    Close(h);
  }
  Close(hEvent);
}

// ---- Waits ----

TEST(Waits, TimeoutZeroWithEverythingSignalledReturnsTheFirst) {
  HANDLE ah[3] = {NewEvent(TRUE, TRUE), NewEvent(FALSE, TRUE), NewEvent(TRUE, TRUE)};
  EXPECT_EQ(WaitForMultipleObjects(3, ah, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ah[1], 0), WAIT_OBJECT_0);
  for (HANDLE h : ah) Close(h);
}

TEST(Waits, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
  HANDLE ah[4] = {NewEvent(FALSE, FALSE), NewEvent(FALSE, FALSE), NewEvent(FALSE, TRUE),
                  NewEvent(FALSE, TRUE)};
  EXPECT_EQ(WaitForMultipleObjects(4, ah, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_FALSE(IsSet(ah[2]));
  EXPECT_TRUE(IsSet(ah[3]));  // consumed here, not by the wait above
  EXPECT_EQ(WaitForMultipleObjects(4, ah, FALSE, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(ah[3]));
  ASSERT_TRUE(SetEvent(ah[1]));
  EXPECT_EQ(WaitForMultipleObjects(4, ah, FALSE, kBoundMs), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(4, ah, FALSE, kBoundMs), WAIT_OBJECT_0 + 3);
  for (HANDLE h : ah) Close(h);
}

TEST(Waits, SameHandleTwiceIsConsumedOnce) {
  HANDLE hEvent = NewEvent(FALSE, TRUE);
  HANDLE ah[2] = {hEvent, hEvent};
  EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(hEvent));
  EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, kBoundMs), WAIT_OBJECT_0);
  Close(hEvent);
}

TEST(Waits, TimeoutsOfZeroAndSomeMilliseconds) {
  HANDLE ah[2] = {NewEvent(TRUE, FALSE), NewEvent(FALSE, FALSE)};
  EXPECT_EQ(WaitForSingleObject(ah[0], 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(ah[1], 20), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 20), WAIT_TIMEOUT);
  EXPECT_EQ(WAIT_TIMEOUT, 258u);
  for (HANDLE h : ah) Close(h);
}

TEST(Waits, BadArgumentsFail) {
  HANDLE hEvent = NewEvent(TRUE, TRUE);
  HANDLE hClosed = NewEvent(TRUE, TRUE);
  Close(hClosed);
  HANDLE ahBad[2] = {hEvent, hClosed};
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(2, ahBad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE ahMany[MAXIMUM_WAIT_OBJECTS + 1];
  for (HANDLE &h : ahMany) h = hEvent;
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(0, ahMany, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, ahMany, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, ahMany, FALSE, 0), WAIT_OBJECT_0);
  Close(hEvent);
}

TEST(Waits, SetFromAnotherThreadEndsAnInfiniteWait) {
  HANDLE hEvent = NewEvent(FALSE, FALSE);
  HANDLE hWaiter = StartThread([&] { return WaitForSingleObject(hEvent, INFINITE); });
  ASSERT_TRUE(SetEvent(hEvent));
  // The bound only guards against a hang; the waiter must end.
  ASSERT_EQ(WaitForSingleObject(hWaiter, kBoundMs), WAIT_OBJECT_0);
  DWORD dwExit = 1;
  EXPECT_TRUE(GetExitCodeThread(hWaiter, &dwExit));
  EXPECT_EQ(dwExit, WAIT_OBJECT_0);
  EXPECT_FALSE(IsSet(hEvent));
  Close(hWaiter);
  Close(hEvent);
}

// A signal that races a time-out is either taken by the wait or left set:
// never lost, never taken twice.
TEST(Waits, SignalRacingATimeoutIsNeitherLostNorDoubled) {
  HANDLE hEvent = NewEvent(FALSE, FALSE);
  for (int i = 0; i < 200; ++i) {
    HANDLE hSetter = StartThread([&] { return SetEvent(hEvent) ? 0u : 1u; });
    const DWORD dwResult = WaitForSingleObject(hEvent, i % 3);
    ASSERT_EQ(WaitForSingleObject(hSetter, kBoundMs), WAIT_OBJECT_0);
    Close(hSetter);
    if (dwResult == WAIT_OBJECT_0) {
      ASSERT_FALSE(IsSet(hEvent)) << "iteration " << i;
    } else {
      ASSERT_EQ(dwResult, WAIT_TIMEOUT);
      ASSERT_TRUE(IsSet(hEvent)) << "iteration " << i;  // consumes it
    }
  }
  Close(hEvent);
}

// Closing a handle that another thread waits on must not break that wait:
// the object lives on, and the wait still ends through its other object.
TEST(Waits, HandleClosedWhileWaitedOn) {
  for (int i = 0; i < 50; ++i) {
    HANDLE hDoomed = NewEvent(TRUE, FALSE);
    HANDLE hWake = NewEvent(TRUE, FALSE);
    DWORD dwError = 0;
    HANDLE hWaiter = StartThread([&] {
      HANDLE ah[2] = {hDoomed, hWake};
      const DWORD dwResult = WaitForMultipleObjects(2, ah, FALSE, kBoundMs);
      dwError = GetLastError();
      return dwResult;
    });
    Close(hDoomed);
    ASSERT_TRUE(SetEvent(hWake));
    ASSERT_EQ(WaitForSingleObject(hWaiter, kBoundMs), WAIT_OBJECT_0);
    DWORD dwExit = 0;
    ASSERT_TRUE(GetExitCodeThread(hWaiter, &dwExit));
    // Either the wait began after the close (a bad handle), or it went on
    // and ended through the other object.
    if (dwExit == WAIT_FAILED) {
      EXPECT_EQ(dwError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    } else {
      EXPECT_EQ(dwExit, WAIT_OBJECT_0 + 1);
    }
    Close(hWaiter);
    Close(hWake);
  }
}

TEST(Waits, WaitAllTakesEveryObjectAtOnce) {
  HANDLE ah[2] = {NewEvent(FALSE, TRUE), NewEvent(FALSE, FALSE)};
  EXPECT_EQ(WaitForMultipleObjects(2, ah, TRUE, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(IsSet(ah[0]));  // not consumed by the failed wait-all
  ASSERT_TRUE(SetEvent(ah[0]));
  ASSERT_TRUE(SetEvent(ah[1]));
  EXPECT_EQ(WaitForMultipleObjects(2, ah, TRUE, kBoundMs), WAIT_OBJECT_0);
  EXPECT_FALSE(IsSet(ah[0]));
  EXPECT_FALSE(IsSet(ah[1]));
  for (HANDLE h : ah) Close(h);
}

// ---- Mutexes ----

TEST(Mutexes, InitialOwnerRecursionAndRelease) {
  HANDLE hMutex = CreateMutexA(nullptr, TRUE, nullptr);
  ASSERT_NE(hMutex, nullptr);
  EXPECT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0);  // recursion
  EXPECT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0);
  // Owned: another thread cannot take it, nor release it.
  DWORD dwOtherError = 0;
  HANDLE hOther = StartThread([&]() -> DWORD {
    const DWORD dwWait = WaitForSingleObject(hMutex, 0);
    SetLastError(0);
    if (ReleaseMutex(hMutex)) return 1u;
    dwOtherError = GetLastError();
    return dwWait;
  });
  ASSERT_EQ(WaitForSingleObject(hOther, kBoundMs), WAIT_OBJECT_0);
  DWORD dwExit = 0;
  EXPECT_TRUE(GetExitCodeThread(hOther, &dwExit));
  EXPECT_EQ(dwExit, WAIT_TIMEOUT);
  EXPECT_EQ(dwOtherError, static_cast<DWORD>(ERROR_NOT_OWNER));
  Close(hOther);

  EXPECT_TRUE(ReleaseMutex(hMutex));
  EXPECT_TRUE(ReleaseMutex(hMutex));
  EXPECT_TRUE(ReleaseMutex(hMutex));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(hMutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  // Free now: another thread takes and releases it.
  hOther = StartThread([&] {
    if (WaitForSingleObject(hMutex, kBoundMs) != WAIT_OBJECT_0) return 1u;
    return ReleaseMutex(hMutex) ? 0u : 2u;
  });
  ASSERT_EQ(WaitForSingleObject(hOther, kBoundMs), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(hOther, &dwExit));
  EXPECT_EQ(dwExit, 0u);
  Close(hOther);
  Close(hMutex);
}

TEST(Mutexes, HandOverBetweenThreads) {
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(hMutex, nullptr);
  ASSERT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0);
  HANDLE hTaken = NewEvent(TRUE, FALSE);
  HANDLE hWaiter = StartThread([&] {
    if (WaitForSingleObject(hMutex, kBoundMs) != WAIT_OBJECT_0) return 1u;
    SetEvent(hTaken);
    return ReleaseMutex(hMutex) ? 0u : 2u;
  });
  EXPECT_EQ(WaitForSingleObject(hTaken, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(ReleaseMutex(hMutex));
  ASSERT_EQ(WaitForSingleObject(hWaiter, kBoundMs), WAIT_OBJECT_0);
  DWORD dwExit = 1;
  EXPECT_TRUE(GetExitCodeThread(hWaiter, &dwExit));
  EXPECT_EQ(dwExit, 0u);
  EXPECT_TRUE(IsSet(hTaken));
  Close(hWaiter);
  Close(hTaken);
  Close(hMutex);
}

TEST(Mutexes, OwnedMutexInAMultipleWaitIsSkipped) {
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(hMutex, nullptr);
  HANDLE hEvent = NewEvent(TRUE, TRUE);
  HANDLE hOther = StartThread([&]() -> DWORD {
    if (WaitForSingleObject(hMutex, 0) != WAIT_OBJECT_0) return 1u;
    HANDLE ah[2] = {hMutex, hEvent};
    const DWORD dwResult = WaitForMultipleObjects(2, ah, FALSE, 0);  // recursion: index 0
    ReleaseMutex(hMutex);
    ReleaseMutex(hMutex);
    return dwResult;
  });
  ASSERT_EQ(WaitForSingleObject(hOther, kBoundMs), WAIT_OBJECT_0);
  DWORD dwExit = 1;
  EXPECT_TRUE(GetExitCodeThread(hOther, &dwExit));
  EXPECT_EQ(dwExit, WAIT_OBJECT_0);
  Close(hOther);

  ASSERT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0);
  hOther = StartThread([&] {
    HANDLE ah[2] = {hMutex, hEvent};
    return WaitForMultipleObjects(2, ah, FALSE, kBoundMs);
  });
  ASSERT_EQ(WaitForSingleObject(hOther, kBoundMs), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(hOther, &dwExit));
  EXPECT_EQ(dwExit, WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(ReleaseMutex(hMutex));
  Close(hOther);
  Close(hEvent);
  Close(hMutex);
}

TEST(Mutexes, OwnerThreadEndingAbandonsTheMutex) {
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(hMutex, nullptr);
  HANDLE hOwner = StartThread([&] { return WaitForSingleObject(hMutex, kBoundMs); });
  ASSERT_EQ(WaitForSingleObject(hOwner, kBoundMs), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(hMutex, kBoundMs), WAIT_ABANDONED_0);
  EXPECT_TRUE(ReleaseMutex(hMutex));
  EXPECT_EQ(WaitForSingleObject(hMutex, 0), WAIT_OBJECT_0);  // reported once
  EXPECT_TRUE(ReleaseMutex(hMutex));
  Close(hOwner);
  Close(hMutex);
}

// ---- Threads ----

TEST(Threads, SuspendedThreadRunsOnlyAfterResume) {
  std::atomic<bool> bRan{false};
  DWORD dwInnerTid = 0;
  DWORD dwTid = 0;
  HANDLE hThread = StartThread(
      [&] {
        bRan = true;
        dwInnerTid = GetCurrentThreadId();
        return 42u;
      },
      CREATE_SUSPENDED, &dwTid);
  ASSERT_NE(hThread, nullptr);
  EXPECT_NE(dwTid, 0u);
  EXPECT_NE(dwTid, GetCurrentThreadId());
  EXPECT_EQ(WaitForSingleObject(hThread, 20), WAIT_TIMEOUT);
  EXPECT_FALSE(bRan);
  DWORD dwExit = 0;
  EXPECT_TRUE(GetExitCodeThread(hThread, &dwExit));
  EXPECT_EQ(dwExit, STILL_ACTIVE);

  EXPECT_EQ(ResumeThread(hThread), 1u);
  ASSERT_EQ(WaitForSingleObject(hThread, kBoundMs), WAIT_OBJECT_0);
  EXPECT_TRUE(bRan);
  EXPECT_EQ(dwInnerTid, dwTid);
  EXPECT_TRUE(GetExitCodeThread(hThread, &dwExit));
  EXPECT_EQ(dwExit, 42u);
  // Signalled for good: every later wait succeeds.
  EXPECT_EQ(WaitForSingleObject(hThread, 0), WAIT_OBJECT_0);
  Close(hThread);
}

TEST(Threads, ResumingARunningThreadReturnsZero) {
  HANDLE hGo = NewEvent(TRUE, FALSE);
  HANDLE hThread = StartThread([&] { return WaitForSingleObject(hGo, kBoundMs); });
  EXPECT_EQ(ResumeThread(hThread), 0u);
  ASSERT_TRUE(SetEvent(hGo));
  ASSERT_EQ(WaitForSingleObject(hThread, kBoundMs), WAIT_OBJECT_0);
  Close(hThread);
  Close(hGo);
}

TEST(Threads, ClosingTheHandleDoesNotStopTheThread) {
  HANDLE hGo = NewEvent(TRUE, FALSE);
  HANDLE hDone = NewEvent(TRUE, FALSE);
  HANDLE hThread = StartThread([&] {
    WaitForSingleObject(hGo, kBoundMs);
    SetEvent(hDone);
    return 0u;
  });
  Close(hThread);
  ASSERT_TRUE(SetEvent(hGo));
  EXPECT_EQ(WaitForSingleObject(hDone, kBoundMs), WAIT_OBJECT_0);
  Close(hGo);
  Close(hDone);
}

TEST(Threads, BadThreadHandles) {
  HANDLE hEvent = NewEvent(TRUE, FALSE);
  EXPECT_EQ(ResumeThread(hEvent), static_cast<DWORD>(-1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  DWORD dwExit = 0;
  EXPECT_FALSE(GetExitCodeThread(hEvent, &dwExit));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  Close(hEvent);
}

TEST(Threads, SleepAndTickCount) {
  const DWORD dwStart = GetTickCount();
  Sleep(0);
  Sleep(5);
  EXPECT_LT(GetTickCount() - dwStart, 0x80000000u);  // monotonic
}

// ---- Global memory ----

TEST(GlobalMemory, MoveableZeroedBlockLocksAndFrees) {
  HGLOBAL hMem = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 300);
  ASSERT_NE(hMem, nullptr);
  auto *p = static_cast<unsigned char *>(GlobalLock(hMem));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(p[i], 0) << "byte " << i;
  memset(p, 0x5A, 300);
  auto *p2 = static_cast<unsigned char *>(GlobalLock(hMem));
  ASSERT_NE(p2, nullptr);
  EXPECT_EQ(p2[299], 0x5A);
  EXPECT_TRUE(GlobalUnlock(hMem));  // still locked once
  SetLastError(1234);
  EXPECT_FALSE(GlobalUnlock(hMem));  // now unlocked
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(GlobalFree(hMem), nullptr);
}

// ---- System messages ----

std::string SystemMessage(DWORD dwCode, DWORD *pdwLength, DWORD *pdwError) {
  LPSTR pszText = nullptr;
  SetLastError(0);
  *pdwLength = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, dwCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&pszText),
      0, nullptr);
  *pdwError = GetLastError();
  std::string text = pszText != nullptr ? pszText : "";
  if (pszText != nullptr) {
    EXPECT_EQ(LocalFree(pszText), nullptr);
  }
  return text;
}

TEST(SystemMessages, CommonCodesHaveTextsEndingInCrLf) {
  const DWORD adwCodes[] = {0,  2,   5,   6,   8,   14,  21,  22,  23,  31,   32,   38,  50,
                            87, 121, 122, 259, 288, 995, 996, 997, 998, 1167, 1460, 1784};
  for (DWORD dwCode : adwCodes) {
    DWORD nLength = 0;
    DWORD dwError = 0;
    const std::string text = SystemMessage(dwCode, &nLength, &dwError);
    ASSERT_GT(nLength, 2u) << "code " << dwCode << ", error " << dwError;
    EXPECT_EQ(nLength, text.size()) << "code " << dwCode;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << "code " << dwCode;
  }
}

TEST(SystemMessages, UnknownCodeHasNoText) {
  DWORD nLength = 1;
  DWORD dwError = 0;
  const std::string text = SystemMessage(0x2FFFFFFF, &nLength, &dwError);
  EXPECT_EQ(nLength, 0u);
  EXPECT_EQ(text, "");
  EXPECT_EQ(dwError, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

}  // namespace
