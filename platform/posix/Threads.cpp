// Emulated threads, Sleep and GetTickCount.
//
// Each CreateThread runs a detached std::thread that holds a reference to
// its thread object; the handle is signalled when the thread function
// returns. A suspended thread waits on the kernel condition until resumed.
#include <stdio.h>

#include <map>
#include <system_error>
#include <thread>

#include "Kernel.h"

namespace emu {
namespace {

// A thread made by CreateThread, or (m_pfnStart null) another thread of the
// process that OpenThread reached.
struct CThread : Object {
  CThread(DWORD dwTid, LPTHREAD_START_ROUTINE pfn, LPVOID pParam, DWORD nSuspend)
      : Object(ObjType::Thread),
        m_dwTid(dwTid),
        m_pfnStart(pfn),
        m_pParam(pParam),
        m_nSuspend(nSuspend) {
    HoldThreadId(dwTid);
  }
  // The id may go to a new thread once the object is gone too.
  ~CThread() override { ReleaseThreadId(m_dwTid); }
  bool IsSignalled(DWORD) const override { return m_bEnded; }
  std::string Describe() const override {
    char sz[96];
    snprintf(sz, sizeof sz, "thread %u (%s)", static_cast<unsigned>(m_dwTid),
             m_bEnded         ? "ended"
             : m_nSuspend > 0 ? "suspended"
                              : "running");
    return sz;
  }
  const DWORD m_dwTid;
  const LPTHREAD_START_ROUTINE m_pfnStart;
  const LPVOID m_pParam;
  DWORD m_nSuspend;
  bool m_bEnded = false;
  DWORD m_dwExitCode = STILL_ACTIVE;
};

// Threads whose function has not returned, by id (under the kernel lock).
std::map<DWORD, std::shared_ptr<CThread>> &LiveThreads() {
  static auto *s_pLive = new std::map<DWORD, std::shared_ptr<CThread>>;
  return *s_pLive;
}

// Thread objects by id, for OpenThread; entries go when the objects do.
std::map<DWORD, std::weak_ptr<CThread>> &ThreadObjects() {
  static auto *s_pObjects = new std::map<DWORD, std::weak_ptr<CThread>>;
  return *s_pObjects;
}

void ForgetEndedThreadObjects() {
  auto &objects = ThreadObjects();
  for (auto it = objects.begin(); it != objects.end();) {
    it = it->second.expired() ? objects.erase(it) : std::next(it);
  }
}

// Threads not made by CreateThread that have an id and have not ended. Its
// own lock: registration happens on a thread's first call, which may hold
// the kernel lock (lock order: kernel, then this).
struct COtherThreads {
  std::mutex m_Lock;
  std::map<DWORD, bool> m_Live;
};
COtherThreads &OtherThreads() {
  static auto *s_pOthers = new COtherThreads;
  return *s_pOthers;
}

bool IsLiveOtherThread(DWORD dwTid) {
  COtherThreads &others = OtherThreads();
  std::lock_guard<std::mutex> guard(others.m_Lock);
  return others.m_Live.count(dwTid) != 0;
}

// Marks the end of a thread not made by CreateThread: its object (if
// OpenThread made one) becomes signalled.
struct COtherThreadExit {
  DWORD m_dwTid = 0;
  ~COtherThreadExit() {
    if (m_dwTid == 0) return;
    Guard lock(KernelLock());
    {
      COtherThreads &others = OtherThreads();
      std::lock_guard<std::mutex> guard(others.m_Lock);
      others.m_Live.erase(m_dwTid);
    }
    auto it = ThreadObjects().find(m_dwTid);
    if (it != ThreadObjects().end()) {
      if (auto pThread = it->second.lock()) {
        pThread->m_bEnded = true;
        pThread->m_dwExitCode = 0;
      }
    }
    AbandonOwnedMutexes(m_dwTid);
    NotifyAll();
    ReleaseThreadId(m_dwTid);
    AdoptThreadId(0);
  }
};
thread_local COtherThreadExit t_otherExit;

void ThreadMain(std::shared_ptr<CThread> thread) {
  AdoptThreadId(thread->m_dwTid);
  {
    Guard lock(KernelLock());
    WaitUntil(lock, Deadline::After(INFINITE), [&] { return thread->m_nSuspend == 0; });
  }
  const DWORD dwExitCode = thread->m_pfnStart(thread->m_pParam);
  const DWORD dwTid = thread->m_dwTid;
  Guard lock(KernelLock());
  thread->m_dwExitCode = dwExitCode;
  thread->m_bEnded = true;
  AbandonOwnedMutexes(dwTid);
  LiveThreads().erase(dwTid);
  // Dropped with the id under the lock, so that whoever sees the thread
  // ended and closes its last handle frees the id at once. Its destructor
  // only gives back the id, which is safe under the lock.
  thread.reset();
  ReleaseThreadId(dwTid);
  AdoptThreadId(0);
  NotifyAll();
}

}  // namespace

void RegisterOtherThread(DWORD dwTid) {
  COtherThreads &others = OtherThreads();
  {
    std::lock_guard<std::mutex> guard(others.m_Lock);
    others.m_Live[dwTid] = true;
  }
  t_otherExit.m_dwTid = dwTid;
}

DWORD ThreadIdOfHandle(HANDLE h) {
  ObjectPtr obj = LookupHandle(h);
  if (!obj || obj->type != ObjType::Thread) return 0;
  return static_cast<CThread &>(*obj).m_dwTid;
}

DWORD LiveThreadCount() { return static_cast<DWORD>(LiveThreads().size()); }

std::string DescribeThreads() {
  std::string s;
  for (const auto &entry : LiveThreads()) {
    s += entry.second->Describe();
    s += " has not returned\n";
  }
  return s;
}

}  // namespace emu

using namespace emu;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (InjectedFailure(SIM_FN_CreateThread)) return nullptr;
  if (lpStartAddress == nullptr || (dwCreationFlags & ~CREATE_SUSPENDED) != 0) {
    return Fail<HANDLE>(nullptr, ERROR_INVALID_PARAMETER);
  }
  auto thread = std::make_shared<CThread>(NewThreadId(), lpStartAddress, lpParameter,
                                          (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0);
  HANDLE h;
  {
    Guard lock(KernelLock());
    h = InsertHandle(thread);
    if (h == nullptr) return nullptr;
    LiveThreads().emplace(thread->m_dwTid, thread);
    ForgetEndedThreadObjects();
    ThreadObjects()[thread->m_dwTid] = thread;
  }
  try {
    std::thread(ThreadMain, thread).detach();
  } catch (const std::system_error &) {
    Guard lock(KernelLock());
    ReleaseThreadId(thread->m_dwTid);  // the hold of the thread that never ran
    LiveThreads().erase(thread->m_dwTid);
    RemoveHandle(h);
    return Fail<HANDLE>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
  }
  if (lpThreadId != nullptr) *lpThreadId = thread->m_dwTid;
  return h;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
  if (InjectedFailure(SIM_FN_ResumeThread)) return static_cast<DWORD>(-1);
  Guard lock(KernelLock());
  ObjectPtr obj = LookupHandle(hThread);
  if (!obj || obj->type != ObjType::Thread) {
    return Fail(static_cast<DWORD>(-1), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  auto &thread = static_cast<CThread &>(*obj);
  const DWORD nPrevious = thread.m_nSuspend;
  if (nPrevious > 0 && --thread.m_nSuspend == 0) NotifyAll();
  return nPrevious;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  Guard lock(KernelLock());
  ObjectPtr obj = LookupHandle(hThread);
  if (!obj || obj->type != ObjType::Thread) return Fail(FALSE, ERROR_INVALID_HANDLE);
  if (lpExitCode == nullptr) return Fail(FALSE, ERROR_NOACCESS);
  *lpExitCode = static_cast<CThread &>(*obj).m_dwExitCode;
  return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return CurrentThreadId(); }

HANDLE WINAPI OpenThread(DWORD, BOOL, DWORD dwThreadId) {
  if (InjectedFailure(SIM_FN_OpenThread)) return nullptr;
  Guard lock(KernelLock());
  ForgetEndedThreadObjects();
  auto &objects = ThreadObjects();
  std::shared_ptr<CThread> pThread;
  auto it = objects.find(dwThreadId);
  if (it != objects.end()) pThread = it->second.lock();
  if (!pThread) {
    if (dwThreadId == 0 || !IsLiveOtherThread(dwThreadId)) {
      return Fail<HANDLE>(nullptr, ERROR_INVALID_PARAMETER);
    }
    pThread = std::make_shared<CThread>(dwThreadId, nullptr, nullptr, 0);
    objects[dwThreadId] = pThread;
  }
  return InsertHandle(pThread);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    Guard lock(KernelLock());
    WaitUntil(lock, Deadline::After(INFINITE), [] { return false; });
  }
  std::this_thread::sleep_for(TimerSpan(dwMilliseconds));
}

DWORD WINAPI GetTickCount(void) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
  return static_cast<DWORD>(ms.count());
}

}  // extern "C"
