// Events, mutexes and the waits.
//
// A wait looks at all its objects under the one kernel lock, so choosing the
// lowest signalled index and consuming only that object is atomic: no other
// waiter and no SetEvent can slip in between the check and the consumption.
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "Kernel.h"

namespace emu {
namespace {

struct CEvent;
// Named events by name, under the kernel lock; never destroyed. A name is
// known from the event's creation until its last handle is closed.
std::map<std::string, std::weak_ptr<CEvent>> &NamedEvents() {
  static auto *s_pNamed = new std::map<std::string, std::weak_ptr<CEvent>>;
  return *s_pNamed;
}

struct CEvent : Object {
  CEvent(bool bManual, bool bSignalled, const char *pszName)
      : Object(ObjType::Event),
        m_bManual(bManual),
        m_bSignalled(bSignalled),
        m_Name(pszName != nullptr ? pszName : "") {}
  bool IsSignalled(DWORD) const override { return m_bSignalled; }
  void Satisfy(DWORD) override {
    if (!m_bManual) m_bSignalled = false;
  }
  void OnLastHandleClosed() override {
    if (!m_Name.empty()) NamedEvents().erase(m_Name);
  }
  std::string Describe() const override {
    return std::string("event (") + (m_bManual ? "manual" : "auto") + " reset, " +
           (m_bSignalled ? "set" : "not set") + (m_Name.empty() ? ")" : ", \"" + m_Name + "\")");
  }
  const bool m_bManual;
  bool m_bSignalled;
  const std::string m_Name;
};

// Under the kernel lock: the live event of that name, or null.
std::shared_ptr<CEvent> FindNamedEvent(const char *pszName) {
  auto it = NamedEvents().find(pszName);
  return it == NamedEvents().end() ? nullptr : it->second.lock();
}

// Mutexes the calling thread has acquired, so that they can be abandoned
// when the thread ends while owning them: an emulated thread does so as its
// function returns (before its handle is signalled), any other thread when
// it exits. The kernel state is never destroyed, so locking it from a
// thread-exit destructor is safe.
struct COwnedMutexes {
  ~COwnedMutexes() {
    if (m_list.empty()) return;
    Guard lock(KernelLock());
    AbandonOwnedMutexes(m_dwTid);
    NotifyAll();
  }
  std::vector<std::weak_ptr<Object>> m_list;
  DWORD m_dwTid = 0;
};
thread_local COwnedMutexes t_OwnedMutexes;

struct CMutex : Object, std::enable_shared_from_this<CMutex> {
  CMutex() : Object(ObjType::Mutex) {}
  bool IsSignalled(DWORD dwTid) const override { return m_dwOwner == 0 || m_dwOwner == dwTid; }
  void Satisfy(DWORD dwTid) override {
    if (m_nRecursion++ == 0) {
      m_dwOwner = dwTid;
      t_OwnedMutexes.m_dwTid = dwTid;
      t_OwnedMutexes.m_list.push_back(shared_from_this());
    }
  }
  std::string Describe() const override {
    char sz[64];
    if (m_dwOwner == 0) return "mutex (free)";
    snprintf(sz, sizeof sz, "mutex (owned by thread %u)", static_cast<unsigned>(m_dwOwner));
    return sz;
  }
  DWORD m_dwOwner = 0;
  DWORD m_nRecursion = 0;
  bool m_bAbandoned = false;  // released by its owner's end, not yet reported
};

template <class T>
std::shared_ptr<T> LookupAs(HANDLE h, ObjType t) {
  ObjectPtr obj = LookupHandle(h);
  if (!obj || obj->type != t) return nullptr;
  return std::static_pointer_cast<T>(obj);
}

}  // namespace

void SignalEventObject(const ObjectPtr &pEvent) {
  if (!pEvent || pEvent->type != ObjType::Event) return;
  static_cast<CEvent &>(*pEvent).m_bSignalled = true;
  NotifyAll();
}

void ResetEventObject(const ObjectPtr &pEvent) {
  if (!pEvent || pEvent->type != ObjType::Event) return;
  static_cast<CEvent &>(*pEvent).m_bSignalled = false;
}

static void ForgetOwnedMutex(const Object *pMutex) {
  auto &owned = t_OwnedMutexes.m_list;
  for (size_t i = 0; i < owned.size();) {
    auto obj = owned[i].lock();
    if (!obj || obj.get() == pMutex) {
      owned[i] = std::move(owned.back());
      owned.pop_back();
    } else {
      ++i;
    }
  }
}

// Called by an emulated thread as it ends, under the kernel lock: the
// mutexes it still owns become free and report WAIT_ABANDONED once.
void AbandonOwnedMutexes(DWORD dwTid) {
  for (auto &weak : t_OwnedMutexes.m_list) {
    if (auto obj = weak.lock()) {
      auto *pMutex = static_cast<CMutex *>(obj.get());
      if (pMutex->m_dwOwner == dwTid) {
        pMutex->m_dwOwner = 0;
        pMutex->m_nRecursion = 0;
        pMutex->m_bAbandoned = true;
      }
    }
  }
  t_OwnedMutexes.m_list.clear();
}

namespace {

DWORD WaitImpl(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS) {
    return Fail(WAIT_FAILED, ERROR_INVALID_PARAMETER);
  }
  if (lpHandles == nullptr) return Fail(WAIT_FAILED, ERROR_NOACCESS);
  const DWORD dwTid = CurrentThreadId();
  const Deadline dl = Deadline::Timeout(dwMilliseconds);
  // These references keep the objects alive even if their handles are
  // closed during the wait; the wait then goes on, as on Windows. Declared
  // before the guard so that a last reference is dropped after unlocking.
  std::vector<ObjectPtr> objects;
  objects.reserve(nCount);
  Guard lock(KernelLock());
  for (DWORD i = 0; i < nCount; ++i) {
    ObjectPtr obj = LookupHandle(lpHandles[i]);
    if (!obj) return Fail(WAIT_FAILED, ERROR_INVALID_HANDLE);
    if (bWaitAll) {
      for (const auto &other : objects) {
        if (other == obj) return Fail(WAIT_FAILED, ERROR_INVALID_PARAMETER);
      }
    }
    objects.push_back(std::move(obj));
  }

  DWORD nIndex = 0;
  auto ready = [&] {
    if (bWaitAll) {
      for (const auto &obj : objects) {
        if (!obj->IsSignalled(dwTid)) return false;
      }
      return true;
    }
    for (nIndex = 0; nIndex < nCount; ++nIndex) {
      if (objects[nIndex]->IsSignalled(dwTid)) return true;
    }
    return false;
  };
  if (!WaitUntil(lock, dl, ready)) return WAIT_TIMEOUT;

  // Consume: the first signalled object, or all of them for bWaitAll.
  DWORD dwResult = WAIT_OBJECT_0 + (bWaitAll ? 0 : nIndex);
  const DWORD nFirst = bWaitAll ? 0 : nIndex;
  const DWORD nEnd = bWaitAll ? nCount : nIndex + 1;
  for (DWORD i = nFirst; i < nEnd; ++i) {
    Object &obj = *objects[i];
    if (obj.type == ObjType::Mutex) {
      auto &mutex = static_cast<CMutex &>(obj);
      if (mutex.m_bAbandoned) {
        mutex.m_bAbandoned = false;
        dwResult = WAIT_ABANDONED_0 + (bWaitAll ? 0 : i);
      }
    }
    obj.Satisfy(dwTid);
  }
  NotifyAll();  // a consumed object may matter to a bWaitAll waiter
  return dwResult;
}

}  // namespace
}  // namespace emu

using namespace emu;

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  if (InjectedFailure(SIM_FN_CreateEventA)) return nullptr;
  auto ev = std::make_shared<CEvent>(bManualReset != FALSE, bInitialState != FALSE, lpName);
  Guard lock(KernelLock());
  if (lpName != nullptr && *lpName != '\0') {
    if (std::shared_ptr<CEvent> existing = FindNamedEvent(lpName)) {
      HANDLE h = InsertHandle(existing);
      if (h != nullptr) SetLastError(ERROR_ALREADY_EXISTS);
      return h;
    }
  }
  HANDLE h = InsertHandle(ev);
  if (h == nullptr) return nullptr;
  if (!ev->m_Name.empty()) NamedEvents()[ev->m_Name] = ev;
  SetLastError(ERROR_SUCCESS);  // "not an existing named object"
  return h;
}

HANDLE WINAPI OpenEventA(DWORD, BOOL, LPCSTR lpName) {
  if (lpName == nullptr) return Fail<HANDLE>(nullptr, ERROR_INVALID_PARAMETER);
  Guard lock(KernelLock());
  std::shared_ptr<CEvent> ev = FindNamedEvent(lpName);
  if (!ev) return Fail<HANDLE>(nullptr, ERROR_FILE_NOT_FOUND);
  return InsertHandle(ev);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  if (InjectedFailure(SIM_FN_SetEvent)) return FALSE;
  Guard lock(KernelLock());
  auto ev = LookupAs<CEvent>(hEvent, ObjType::Event);
  if (!ev) return Fail(FALSE, ERROR_INVALID_HANDLE);
  ev->m_bSignalled = true;
  NotifyAll();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  if (InjectedFailure(SIM_FN_ResetEvent)) return FALSE;
  Guard lock(KernelLock());
  auto ev = LookupAs<CEvent>(hEvent, ObjType::Event);
  if (!ev) return Fail(FALSE, ERROR_INVALID_HANDLE);
  ev->m_bSignalled = false;
  return TRUE;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
  if (InjectedFailure(SIM_FN_CreateMutexA)) return nullptr;
  if (lpName != nullptr) return Fail<HANDLE>(nullptr, ERROR_NOT_SUPPORTED);
  auto mutex = std::make_shared<CMutex>();
  Guard lock(KernelLock());
  HANDLE h = InsertHandle(mutex);
  if (h == nullptr) return nullptr;
  if (bInitialOwner) mutex->Satisfy(CurrentThreadId());
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  if (InjectedFailure(SIM_FN_ReleaseMutex)) return FALSE;
  Guard lock(KernelLock());
  auto mutex = LookupAs<CMutex>(hMutex, ObjType::Mutex);
  if (!mutex) return Fail(FALSE, ERROR_INVALID_HANDLE);
  if (mutex->m_dwOwner != CurrentThreadId()) return Fail(FALSE, ERROR_NOT_OWNER);
  if (--mutex->m_nRecursion == 0) {
    mutex->m_dwOwner = 0;
    ForgetOwnedMutex(mutex.get());
    NotifyAll();
  }
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (InjectedFailure(SIM_FN_WaitForSingleObject)) return WAIT_FAILED;
  return WaitImpl(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
  if (InjectedFailure(SIM_FN_WaitForMultipleObjects)) return WAIT_FAILED;
  return WaitImpl(nCount, lpHandles, bWaitAll, dwMilliseconds);
}

}  // extern "C"
