// The emulation's kernel: the one lock, the handle table, thread ids, the
// last-error value, the timer and CloseHandle.
#include "Kernel.h"

#include <stdio.h>

#include <atomic>
#include <map>
#include <system_error>
#include <thread>
#include <vector>

namespace emu {
namespace {

// Values handed out as Windows' tables hand out handles and thread ids: a
// freed value comes back first, the most recently freed first (so a stale
// value hits a live object), else the next multiple of 4 never used yet.
template <class T>
class CValuePool {
 public:
  explicit CValuePool(T first) : m_next(first) {}
  T Take() {
    if (m_free.empty()) {
      m_next += 4;
      return m_next - 4;
    }
    const T value = m_free.back();
    m_free.pop_back();
    return value;
  }
  void Give(T value) { m_free.push_back(value); }

 private:
  std::vector<T> m_free;
  T m_next;
};

// Never destroyed: emulated threads may still block on them while the
// process runs its static destructors.
struct CKernelState {
  std::mutex m_Lock;
  CWaiter *m_pWaiters = nullptr;  // the calls blocked now
  std::map<uintptr_t, ObjectPtr> m_Handles;
  CValuePool<uintptr_t> m_HandleValues{kFirstHandle};
  static constexpr uintptr_t kFirstHandle = 0x100;
  // Far inside a Java int: values stay below 2^30.
  static constexpr size_t kMaxHandles = 1u << 24;
  // The timer: deadlines in order, and its thread's own condition, so that
  // the kernel's many notifications do not wake it.
  TimerQueue m_Due;
  std::condition_variable m_TimerCond;
  bool m_bTimerRunning = false;
};

CKernelState &State() {
  static CKernelState *s_pState = new CKernelState;
  return *s_pState;
}

// Thread ids and their holds (see Kernel.h). Never destroyed: threads end
// while the process runs its static destructors.
struct CThreadIds {
  std::mutex m_Lock;
  std::map<DWORD, unsigned> m_Holds;
  CValuePool<DWORD> m_Ids{0x1004};
};

CThreadIds &ThreadIds() {
  static auto *s_pIds = new CThreadIds;
  return *s_pIds;
}

std::atomic<DWORD> g_dwGranularityUs{0};
thread_local DWORD t_dwThreadId = 0;
thread_local DWORD t_dwLastError = 0;

const char *TypeName(ObjType t) {
  switch (t) {
    case ObjType::Event:
      return "event";
    case ObjType::Mutex:
      return "mutex";
    case ObjType::Thread:
      return "thread";
    case ObjType::File:
      return "file";
    case ObjType::Process:
      return "process";
  }
  return "object";
}

// INVALID_HANDLE_VALUE is also GetCurrentProcess(): a process object that
// is never signalled while the process runs, and that no call but a wait
// accepts. Code that keeps a failed open's result and later closes or waits
// on it sees what it would see on Windows.
struct CProcess : Object {
  CProcess() : Object(ObjType::Process) {}
  bool IsSignalled(DWORD) const override { return false; }
};

const ObjectPtr &CurrentProcess() {
  static auto *s_pProcess = new ObjectPtr(std::make_shared<CProcess>());
  return *s_pProcess;
}

}  // namespace

std::mutex &KernelLock() { return State().m_Lock; }

void AddWaiter(CWaiter &waiter) {
  CKernelState &st = State();
  waiter.m_pPrev = nullptr;
  waiter.m_pNext = st.m_pWaiters;
  if (st.m_pWaiters != nullptr) st.m_pWaiters->m_pPrev = &waiter;
  st.m_pWaiters = &waiter;
}

void RemoveWaiter(CWaiter &waiter) {
  CKernelState &st = State();
  if (waiter.m_pPrev != nullptr) {
    waiter.m_pPrev->m_pNext = waiter.m_pNext;
  } else {
    st.m_pWaiters = waiter.m_pNext;
  }
  if (waiter.m_pNext != nullptr) waiter.m_pNext->m_pPrev = waiter.m_pPrev;
}

void NotifyAll() {
  for (CWaiter *p = State().m_pWaiters; p != nullptr; p = p->m_pNext) {
    if (p->m_pfnReady(p->m_pReady)) p->m_Cond.notify_one();
  }
}

Clock::duration TimerSpan(unsigned long long nMilliseconds) {
  const unsigned long long nGranularityUs = g_dwGranularityUs.load();
  if (nGranularityUs == 0) return std::chrono::milliseconds(nMilliseconds);
  const unsigned long long nTicks = (nMilliseconds * 1000 + nGranularityUs - 1) / nGranularityUs;
  return std::chrono::microseconds(nTicks * nGranularityUs);
}

void SetTimerGranularity(DWORD dwMicroseconds) { g_dwGranularityUs = dwMicroseconds; }

Deadline Deadline::After(DWORD dwMilliseconds) {
  Deadline dl{dwMilliseconds == INFINITE, Clock::now()};
  if (!dl.bInfinite) dl.tp += std::chrono::milliseconds(dwMilliseconds);
  return dl;
}

Deadline Deadline::Timeout(DWORD dwMilliseconds) {
  Deadline dl{dwMilliseconds == INFINITE, Clock::now()};
  if (!dl.bInfinite) dl.tp += TimerSpan(dwMilliseconds);
  return dl;
}

// The timer thread: calls OnDeadline of what is due, under the kernel lock,
// and drops its references after unlocking (an object's destructor never
// runs under the lock).
void TimerMain() {
  CKernelState &st = State();
  Guard lock(st.m_Lock);
  std::vector<std::shared_ptr<CTimed>> fired;
  for (;;) {
    const Clock::time_point now = Clock::now();
    while (!st.m_Due.empty() && st.m_Due.begin()->first <= now) {
      std::shared_ptr<CTimed> pTimed = st.m_Due.begin()->second.lock();
      st.m_Due.erase(st.m_Due.begin());
      if (!pTimed) continue;
      pTimed->m_bArmed = false;
      pTimed->OnDeadline();
      fired.push_back(std::move(pTimed));
    }
    if (!fired.empty()) {
      lock.unlock();
      fired.clear();
      lock.lock();
    } else if (st.m_Due.empty()) {
      st.m_TimerCond.wait(lock);
    } else {
      // A copy: the wait reads its deadline again after the lock was
      // released, when the entry may be gone.
      const Clock::time_point tpNext = st.m_Due.begin()->first;
      st.m_TimerCond.wait_until(lock, tpNext);
    }
  }
}

bool StartTimer() {
  CKernelState &st = State();
  if (st.m_bTimerRunning) return true;
  try {
    std::thread(TimerMain).detach();
  } catch (const std::system_error &) {
    return false;
  }
  st.m_bTimerRunning = true;
  return true;
}

void ArmTimer(CTimed &timed, Clock::time_point tp) {
  CKernelState &st = State();
  StartTimer();
  DisarmTimer(timed);
  timed.m_itDue = st.m_Due.emplace(tp, timed.weak_from_this());
  timed.m_bArmed = true;
  if (timed.m_itDue == st.m_Due.begin()) st.m_TimerCond.notify_one();
}

void DisarmTimer(CTimed &timed) {
  if (!timed.m_bArmed) return;
  State().m_Due.erase(timed.m_itDue);
  timed.m_bArmed = false;
}

std::string Object::Describe() const { return TypeName(type); }

HANDLE InsertHandle(const ObjectPtr &obj) {
  CKernelState &st = State();
  if (st.m_Handles.size() >= CKernelState::kMaxHandles) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  const uintptr_t nValue = st.m_HandleValues.Take();
  st.m_Handles.emplace(nValue, obj);
  ++obj->nHandles;
  return reinterpret_cast<HANDLE>(nValue);
}

ObjectPtr LookupHandle(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return CurrentProcess();
  auto &handles = State().m_Handles;
  auto it = handles.find(reinterpret_cast<uintptr_t>(h));
  return it == handles.end() ? nullptr : it->second;
}

ObjectPtr DetachHandle(HANDLE h) {
  CKernelState &st = State();
  auto it = st.m_Handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == st.m_Handles.end()) return nullptr;
  ObjectPtr obj = std::move(it->second);
  st.m_HandleValues.Give(it->first);
  st.m_Handles.erase(it);
  --obj->nHandles;
  return obj;
}

bool RemoveHandle(HANDLE h) {
  ObjectPtr obj = DetachHandle(h);
  if (!obj) return false;
  if (obj->nHandles == 0) obj->OnLastHandleClosed();
  return true;
}

DWORD HandleCount() { return static_cast<DWORD>(State().m_Handles.size()); }

std::string DescribeHandles() {
  std::string s;
  char szValue[32];
  for (const auto &entry : State().m_Handles) {
    snprintf(szValue, sizeof szValue, "handle 0x%lx: ", static_cast<unsigned long>(entry.first));
    s += szValue;
    s += entry.second->Describe();
    s += '\n';
  }
  return s;
}

DWORD CurrentThreadId() {
  if (t_dwThreadId == 0) {
    t_dwThreadId = NewThreadId();
    RegisterOtherThread(t_dwThreadId);
  }
  return t_dwThreadId;
}

DWORD NewThreadId() {
  CThreadIds &ids = ThreadIds();
  std::lock_guard<std::mutex> guard(ids.m_Lock);
  const DWORD dwTid = ids.m_Ids.Take();
  ids.m_Holds[dwTid] = 1;
  return dwTid;
}

void AdoptThreadId(DWORD dwTid) { t_dwThreadId = dwTid; }

void HoldThreadId(DWORD dwTid) {
  CThreadIds &ids = ThreadIds();
  std::lock_guard<std::mutex> guard(ids.m_Lock);
  ++ids.m_Holds[dwTid];
}

void ReleaseThreadId(DWORD dwTid) {
  CThreadIds &ids = ThreadIds();
  std::lock_guard<std::mutex> guard(ids.m_Lock);
  auto it = ids.m_Holds.find(dwTid);
  if (it == ids.m_Holds.end() || --it->second != 0) return;
  ids.m_Holds.erase(it);
  ids.m_Ids.Give(dwTid);
}

}  // namespace emu

extern "C" {

DWORD WINAPI GetLastError(void) { return emu::t_dwLastError; }

void WINAPI SetLastError(DWORD dwErrCode) { emu::t_dwLastError = dwErrCode; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (emu::InjectedFailure(SIM_FN_CloseHandle)) return FALSE;
  if (hObject == INVALID_HANDLE_VALUE) return TRUE;  // the process pseudo-handle
  // Declared before the guard: if this was the last reference, the object
  // is destroyed after the lock is released.
  emu::ObjectPtr keep;
  emu::Guard lock(emu::KernelLock());
  keep = emu::DetachHandle(hObject);
  if (!keep) return emu::Fail(FALSE, ERROR_INVALID_HANDLE);
  // As on Windows the value is free at once; the object's own close may then
  // wait (a synchronous file for the request in progress on it).
  if (keep->nHandles == 0) {
    keep->WaitBeforeLastClose(lock);
    keep->OnLastHandleClosed();
  }
  emu::NotifyAll();
  return TRUE;
}

}  // extern "C"
