// User-space locks, condition variables, named events and the debugger
// query: what the library relies on for its ring buffer, its session, the
// ends of its requests and its trace lines.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "Conformance.h"

using conformance::Close;
using conformance::kBoundMs;
using conformance::StartThread;

namespace {

// A name no other process or case uses.
std::string UniqueName(const char *pszWhat) {
  static std::atomic<int> s_nNext(0);
  char sz[96];
  snprintf(sz, sizeof sz, "velto-conformance-%lu-%s-%d", (unsigned long)GetCurrentThreadId(),
           pszWhat, s_nNext++);
  return sz;
}

TEST(CriticalSections, ExcludeOtherThreadsAndNestOnTheOwner) {
  CRITICAL_SECTION cs;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);  // the owner enters again
  std::atomic<int> nTried(-1);
  HANDLE h = StartThread([&] {
    nTried = TryEnterCriticalSection(&cs) ? 1 : 0;
    return 0u;
  });
  ASSERT_EQ(WaitForSingleObject(h, kBoundMs), WAIT_OBJECT_0);
  Close(h);
  EXPECT_EQ(nTried, 0) << "another thread entered a held critical section";
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);

  // Two threads counting under it lose no increment.
  long nCount = 0;
  auto count = [&] {
    for (int i = 0; i < 100000; ++i) {
      EnterCriticalSection(&cs);
      ++nCount;
      LeaveCriticalSection(&cs);
    }
    return 0u;
  };
  HANDLE a = StartThread(count), b = StartThread(count);
  ASSERT_EQ(WaitForSingleObject(a, kBoundMs), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(b, kBoundMs), WAIT_OBJECT_0);
  Close(a);
  Close(b);
  EXPECT_EQ(nCount, 200000);
  DeleteCriticalSection(&cs);
}

TEST(SlimLocks, SharedHoldersCoexistAndExcludeTheExclusiveOne) {
  static SRWLOCK s_Lock = SRWLOCK_INIT;
  AcquireSRWLockShared(&s_Lock);
  std::atomic<int> nShared(-1), nExclusive(-1);
  HANDLE h = StartThread([&] {
    nShared = TryAcquireSRWLockShared(&s_Lock) ? 1 : 0;
    if (nShared == 1) ReleaseSRWLockShared(&s_Lock);
    nExclusive = TryAcquireSRWLockExclusive(&s_Lock) ? 1 : 0;
    if (nExclusive == 1) ReleaseSRWLockExclusive(&s_Lock);
    return 0u;
  });
  ASSERT_EQ(WaitForSingleObject(h, kBoundMs), WAIT_OBJECT_0);
  Close(h);
  EXPECT_EQ(nShared, 1);
  EXPECT_EQ(nExclusive, 0);
  ReleaseSRWLockShared(&s_Lock);

  // An exclusive acquisition waits until the last shared holder has gone.
  SRWLOCK lock;
  InitializeSRWLock(&lock);
  AcquireSRWLockShared(&lock);
  HANDLE hEntered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE hWriter = StartThread([&] {
    AcquireSRWLockExclusive(&lock);
    SetEvent(hEntered);
    ReleaseSRWLockExclusive(&lock);
    return 0u;
  });
  EXPECT_EQ(WaitForSingleObject(hEntered, 0), WAIT_TIMEOUT);
  ReleaseSRWLockShared(&lock);
  EXPECT_EQ(WaitForSingleObject(hEntered, kBoundMs), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(hWriter, kBoundMs), WAIT_OBJECT_0);
  Close(hWriter);
  Close(hEntered);
  EXPECT_TRUE(TryAcquireSRWLockExclusive(&lock));
  ReleaseSRWLockExclusive(&lock);
}

// A sleep ends by its time-out (ERROR_TIMEOUT, the lock held again), a
// wake (one sleeper takes the one token) or a wake of all.
TEST(ConditionVariables, SleepEndsByTimeOutWakeOrWakeOfAll) {
  static CONDITION_VARIABLE s_cv = CONDITION_VARIABLE_INIT;
  SRWLOCK lock = SRWLOCK_INIT;
  AcquireSRWLockShared(&lock);
  EXPECT_FALSE(SleepConditionVariableSRW(&s_cv, &lock, 1, CONDITION_VARIABLE_LOCKMODE_SHARED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_FALSE(TryAcquireSRWLockExclusive(&lock)) << "the lock is not held again";
  ReleaseSRWLockShared(&lock);
  int nTokens = 0;
  auto consume = [&] {
    AcquireSRWLockExclusive(&lock);
    while (nTokens == 0) SleepConditionVariableSRW(&s_cv, &lock, INFINITE, 0);
    --nTokens;
    ReleaseSRWLockExclusive(&lock);
    return 0u;
  };
  HANDLE ah[2] = {StartThread(consume), StartThread(consume)};
  for (const BOOL bAll : {FALSE, TRUE}) {
    AcquireSRWLockExclusive(&lock);
    ++nTokens;
    ReleaseSRWLockExclusive(&lock);
    bAll ? WakeAllConditionVariable(&s_cv) : WakeConditionVariable(&s_cv);
    EXPECT_LT(WaitForMultipleObjects(2, ah, bAll, kBoundMs), WAIT_OBJECT_0 + 2);
  }
  for (HANDLE h : ah) Close(h);
}

TEST(NamedEvents, OneEventUnderItsNameUntilTheLastHandleCloses) {
  const std::string name = UniqueName("event");
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  HANDLE hCreated = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(hCreated, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  HANDLE hAgain = CreateEventA(nullptr, FALSE, TRUE, name.c_str());
  ASSERT_NE(hAgain, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  HANDLE hOpened = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str());
  ASSERT_NE(hOpened, nullptr);

  // One object: still manual reset and not set, whatever the second create asked.
  EXPECT_EQ(WaitForSingleObject(hAgain, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(hOpened));
  EXPECT_EQ(WaitForSingleObject(hCreated, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(hAgain, 0), WAIT_OBJECT_0);

  Close(hCreated);
  Close(hAgain);
  Close(hOpened);
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// The cases run without a debugger (on POSIX: without a debug listener).
TEST(Debugger, NoneIsPresent) { EXPECT_FALSE(IsDebuggerPresent()); }

}  // namespace
