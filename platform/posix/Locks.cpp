// User-space locks: critical sections, slim reader/writer locks and
// condition variables.
//
// None takes the kernel lock: they are the cheap locks a caller picks
// instead of a kernel mutex. A critical section's lock object lives on the
// heap behind DebugInfo and is registered, so that one never deleted shows
// in the leak report; an SRW lock is a pthread read/write lock that prefers
// writers, as a waiting exclusive acquisition holds back new shared ones on
// Windows. A condition variable keeps its counters in itself, since Windows
// has no call that deletes one: one process-wide lock and condition serve
// them all, and sleepers of other variables re-check and sleep on.
#include <condition_variable>
#include <mutex>
#include <set>

#include "Kernel.h"

namespace emu {
namespace {

struct CCriticalSection {
  std::recursive_mutex m_Mutex;
};

// Critical sections initialised and not yet deleted; never destroyed.
struct CLockRegistry {
  std::mutex m_Lock;
  std::set<const CCriticalSection *> m_Live;
};
CLockRegistry &Registry() {
  static auto *s_pRegistry = new CLockRegistry;
  return *s_pRegistry;
}

struct CConditionState {
  std::mutex m_Lock;
  std::condition_variable m_Cond;
};
CConditionState &Conditions() {
  static auto *s_pState = new CConditionState;
  return *s_pState;
}

CCriticalSection *Of(LPCRITICAL_SECTION lpCriticalSection) {
  return static_cast<CCriticalSection *>(lpCriticalSection->DebugInfo);
}

void Init(LPCRITICAL_SECTION lpCriticalSection) {
  *lpCriticalSection = CRITICAL_SECTION();
  auto *pSection = new CCriticalSection;
  lpCriticalSection->DebugInfo = pSection;
  std::lock_guard<std::mutex> lock(Registry().m_Lock);
  Registry().m_Live.insert(pSection);
}

}  // namespace

DWORD CriticalSectionCount() {
  std::lock_guard<std::mutex> lock(Registry().m_Lock);
  return static_cast<DWORD>(Registry().m_Live.size());
}

std::string DescribeCriticalSections() {
  std::string report;
  for (DWORD n = CriticalSectionCount(); n > 0; --n) report += "critical section not deleted\n";
  return report;
}

}  // namespace emu

using namespace emu;

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  Init(lpCriticalSection);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD) {
  if (InjectedFailure(SIM_FN_InitializeCriticalSectionAndSpinCount)) return FALSE;
  Init(lpCriticalSection);
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  Of(lpCriticalSection)->m_Mutex.lock();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  return Of(lpCriticalSection)->m_Mutex.try_lock() ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  Of(lpCriticalSection)->m_Mutex.unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  CCriticalSection *pSection = Of(lpCriticalSection);
  {
    std::lock_guard<std::mutex> lock(Registry().m_Lock);
    Registry().m_Live.erase(pSection);
  }
  delete pSection;
  lpCriticalSection->DebugInfo = nullptr;
}

void WINAPI InitializeSRWLock(PSRWLOCK SRWLock) {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&SRWLock->Lock, &attr);
  pthread_rwlockattr_destroy(&attr);
}

void WINAPI AcquireSRWLockShared(PSRWLOCK SRWLock) { pthread_rwlock_rdlock(&SRWLock->Lock); }

void WINAPI ReleaseSRWLockShared(PSRWLOCK SRWLock) { pthread_rwlock_unlock(&SRWLock->Lock); }

void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) { pthread_rwlock_wrlock(&SRWLock->Lock); }

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) { pthread_rwlock_unlock(&SRWLock->Lock); }

BOOLEAN WINAPI TryAcquireSRWLockShared(PSRWLOCK SRWLock) {
  return pthread_rwlock_tryrdlock(&SRWLock->Lock) == 0 ? TRUE : FALSE;
}

BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK SRWLock) {
  return pthread_rwlock_trywrlock(&SRWLock->Lock) == 0 ? TRUE : FALSE;
}

void WINAPI InitializeConditionVariable(PCONDITION_VARIABLE ConditionVariable) {
  *ConditionVariable = CONDITION_VARIABLE CONDITION_VARIABLE_INIT;
}

// A sleeper is woken by a broadcast after it began, or by a wake issued
// after it began that no other sleeper took; a time-out counts as a wake
// taken, so that a later wake finds a sleeper that is still there.
BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE ConditionVariable, PSRWLOCK SRWLock,
                                      DWORD dwMilliseconds, ULONG Flags) {
  CONDITION_VARIABLE &cv = *ConditionVariable;
  const Deadline dl = Deadline::Timeout(dwMilliseconds);
  CConditionState &st = Conditions();
  bool bWoken = true;
  {
    std::unique_lock<std::mutex> lock(st.m_Lock);
    const ULONG nWakes = cv.Wakes;
    const ULONG nBroadcasts = cv.Broadcasts;
    ++cv.Entered;
    // Released under the lock: a waker that takes the lock after us is heard.
    pthread_rwlock_unlock(&SRWLock->Lock);
    auto woken = [&] {
      return cv.Broadcasts != nBroadcasts || (cv.Wakes != nWakes && cv.Taken != cv.Wakes);
    };
    if (dl.bInfinite) {
      st.m_Cond.wait(lock, woken);
    } else {
      bWoken = st.m_Cond.wait_until(lock, dl.tp, woken);
    }
    if (cv.Broadcasts == nBroadcasts) {
      if (!bWoken) ++cv.Wakes;
      ++cv.Taken;
    }
  }
  if (Flags & CONDITION_VARIABLE_LOCKMODE_SHARED) {
    AcquireSRWLockShared(SRWLock);
  } else {
    AcquireSRWLockExclusive(SRWLock);
  }
  return bWoken ? TRUE : Fail(FALSE, ERROR_TIMEOUT);
}

void WINAPI WakeConditionVariable(PCONDITION_VARIABLE ConditionVariable) {
  CConditionState &st = Conditions();
  std::lock_guard<std::mutex> lock(st.m_Lock);
  if (ConditionVariable->Entered == ConditionVariable->Wakes) return;  // nobody sleeps
  ++ConditionVariable->Wakes;
  st.m_Cond.notify_all();
}

void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE ConditionVariable) {
  CConditionState &st = Conditions();
  std::lock_guard<std::mutex> lock(st.m_Lock);
  CONDITION_VARIABLE &cv = *ConditionVariable;
  if (cv.Entered == cv.Wakes) return;
  cv.Wakes = cv.Taken = cv.Entered;
  ++cv.Broadcasts;
  st.m_Cond.notify_all();
}

}  // extern "C"
