// The emulation's kernel: the one lock, the handle table, thread ids, the
// last-error value and CloseHandle.
#include "Kernel.h"

#include <stdio.h>

#include <atomic>
#include <map>
#include <vector>

namespace emu {
namespace {

// Never destroyed: emulated threads may still block on them while the
// process runs its static destructors.
struct CKernelState {
  std::mutex m_Lock;
  std::condition_variable m_Cond;
  std::map<uintptr_t, ObjectPtr> m_Handles;
  // Freed values, the most recently freed last: it is handed out first, as
  // Windows' handle table does, so a stale handle hits a live object.
  std::vector<uintptr_t> m_FreeHandles;
  uintptr_t m_nNextHandle = kFirstHandle;  // never used yet from here on
  static constexpr uintptr_t kFirstHandle = 0x100;
  // Far inside a Java int: values stay below 2^30.
  static constexpr size_t kMaxHandles = 1u << 24;
};

CKernelState &State() {
  static CKernelState *s_pState = new CKernelState;
  return *s_pState;
}

std::atomic<DWORD> g_nNextThreadId{0x1004};
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
std::condition_variable &KernelCond() { return State().m_Cond; }
void NotifyAll() { State().m_Cond.notify_all(); }

Deadline Deadline::After(DWORD dwMilliseconds) {
  Deadline dl{dwMilliseconds == INFINITE, Clock::now()};
  if (!dl.bInfinite) dl.tp += std::chrono::milliseconds(dwMilliseconds);
  return dl;
}

std::string Object::Describe() const { return TypeName(type); }

HANDLE InsertHandle(const ObjectPtr &obj) {
  CKernelState &st = State();
  if (st.m_Handles.size() >= CKernelState::kMaxHandles) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  uintptr_t nValue;
  if (!st.m_FreeHandles.empty()) {
    nValue = st.m_FreeHandles.back();
    st.m_FreeHandles.pop_back();
  } else {
    nValue = st.m_nNextHandle;
    st.m_nNextHandle += 4;
  }
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
  st.m_FreeHandles.push_back(it->first);
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
    t_dwThreadId = g_nNextThreadId.fetch_add(4);
    RegisterOtherThread(t_dwThreadId);
  }
  return t_dwThreadId;
}

// Used by CreateThread: the new thread's id is known before it runs.
DWORD NewThreadId() { return g_nNextThreadId.fetch_add(4); }
void AdoptThreadId(DWORD dwTid) { t_dwThreadId = dwTid; }

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
