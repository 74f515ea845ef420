// Failure injection and call counting for every emulated call.
//
// Its own lock, not the kernel's: the module's allocation hooks land here on
// every malloc, also while the emulation holds the kernel lock.
#include <condition_variable>
#include <mutex>

#include "Kernel.h"

namespace emu {
namespace {

struct CInjection {
  DWORD nSkip = 0;
  DWORD nFail = 0;  // MAXDWORD: until cleared
  DWORD dwError = 0;
};

struct CInjectState {
  std::mutex m_Lock;
  std::condition_variable m_Cond;
  CInjection m_Injections[SIM_FN_COUNT];
  DWORD m_nCalls[SIM_FN_COUNT] = {};
};

// Never destroyed: allocation hooks may run during static destruction.
CInjectState &State() {
  static CInjectState *s_pState = new CInjectState;
  return *s_pState;
}

const char *const g_szFnNames[SIM_FN_COUNT] = {
    "CreateEventA",
    "SetEvent",
    "ResetEvent",
    "CreateMutexA",
    "ReleaseMutex",
    "CreateThread",
    "ResumeThread",
    "WaitForSingleObject",
    "WaitForMultipleObjects",
    "CloseHandle",
    "CreateFileA",
    "ReadFile",
    "WriteFile",
    "GetOverlappedResult",
    "CancelIo",
    "DeviceIoControl",
    "PurgeComm",
    "SetupDiGetClassDevsA",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetDeviceInterfaceDetailA",
    "SetupDiDestroyDeviceInfoList",
    "GlobalAlloc",
    "GlobalLock",
    "GlobalUnlock",
    "GlobalFree",
    "FormatMessageA",
    "LocalFree",
    "MultiByteToWideChar",
    "OpenThread",
    "CancelSynchronousIo",
    "InitializeCriticalSectionAndSpinCount",
    "OutputDebugStringA",
    "CancelIoEx",
    "SetupDiGetDeviceRegistryPropertyA",
    "SetupDiGetDeviceInstanceIdA",
    "CM_Get_Parent",
    "CM_Get_Device_IDA",
    "malloc/new",
};

bool ValidFn(int nFn) { return nFn >= 0 && nFn < SIM_FN_COUNT; }

// Counts the call; returns true and the error when it is to fail.
bool CountAndCheck(int nFn, DWORD &dwError) {
  if (!ValidFn(nFn)) return false;
  CInjectState &st = State();
  std::lock_guard<std::mutex> lock(st.m_Lock);
  ++st.m_nCalls[nFn];
  st.m_Cond.notify_all();
  CInjection &inj = st.m_Injections[nFn];
  if (inj.nFail == 0) return false;
  if (inj.nSkip > 0) {
    --inj.nSkip;
    return false;
  }
  if (inj.nFail != MAXDWORD) --inj.nFail;
  dwError = inj.dwError;
  return true;
}

}  // namespace

bool InjectedFailure(int nFn) {
  DWORD dwError = 0;
  if (!CountAndCheck(nFn, dwError)) return false;
  SetLastError(dwError);
  return true;
}

bool InjectedResult(int nFn, DWORD *pdwCode) { return CountAndCheck(nFn, *pdwCode); }

}  // namespace emu

extern "C" {

void SimInjectFailure(int nFn, DWORD nSkip, DWORD nCalls, DWORD dwError) {
  if (!emu::ValidFn(nFn)) return;
  auto &st = emu::State();
  std::lock_guard<std::mutex> lock(st.m_Lock);
  st.m_Injections[nFn] = emu::CInjection{nSkip, nCalls, dwError};
}

void SimClearInjections(void) {
  auto &st = emu::State();
  std::lock_guard<std::mutex> lock(st.m_Lock);
  for (auto &inj : st.m_Injections) inj = emu::CInjection{};
}

DWORD SimCallCount(int nFn) {
  if (!emu::ValidFn(nFn)) return 0;
  auto &st = emu::State();
  std::lock_guard<std::mutex> lock(st.m_Lock);
  return st.m_nCalls[nFn];
}

const char *SimFnName(int nFn) { return emu::ValidFn(nFn) ? emu::g_szFnNames[nFn] : "?"; }

BOOL SimAllocShouldFail(void) {
  // Allocation failures do not touch the Win32 last error: malloc and new
  // do not set it on Windows either.
  DWORD dwError = 0;
  return emu::CountAndCheck(SIM_FN_ALLOC, dwError) ? TRUE : FALSE;
}

BOOL SimWaitCallCount(int nFn, DWORD nCalls, DWORD dwTimeoutMs) {
  if (!emu::ValidFn(nFn)) return FALSE;
  auto &st = emu::State();
  std::unique_lock<std::mutex> lock(st.m_Lock);
  auto reached = [&] { return st.m_nCalls[nFn] >= nCalls; };
  if (dwTimeoutMs == INFINITE) {
    st.m_Cond.wait(lock, reached);
    return TRUE;
  }
  return st.m_Cond.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), reached) ? TRUE : FALSE;
}

}  // extern "C"

namespace emu {
// Part of SimReset.
void InjectReset() {
  auto &st = State();
  std::lock_guard<std::mutex> lock(st.m_Lock);
  for (auto &inj : st.m_Injections) inj = CInjection{};
  for (auto &n : st.m_nCalls) n = 0;
  st.m_Cond.notify_all();
}
}  // namespace emu
