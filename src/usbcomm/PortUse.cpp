#include "usbcomm/PortUse.h"

#include <atomic>

#include "usbcomm/SpinTurn.h"
#include "usbcomm/UsbComm.h"

namespace {

// More Java threads in device calls at once than this wait for a slot.
const int MAX_USERS = 64;
const int MAX_CLOSING = 16;

struct CUser {
  HANDLE hPort;
  DWORD dwThreadId;
  PortUseKind kind;
};

// Handles being closed: refused to new calls. A retired handle (one the
// reopen replaced) is closed by its last user rather than by a waiting closer.
struct CClosing {
  HANDLE hPort;
  bool bRetired;
};

struct CRegistry {
  CUser aUsers[MAX_USERS];
  bool abUsed[MAX_USERS];
  CClosing aClosing[MAX_CLOSING];
  int nClosing;
};

// Zero-initialised static storage: nothing to create at load or release at
// unload, and nothing that can fail.
CRegistry g_Registry;
std::atomic_flag g_bRegistryBusy = ATOMIC_FLAG_INIT;

// Under the registry lock.
int FindClosing(HANDLE hPort) {
  for (int i = 0; i < g_Registry.nClosing; ++i) {
    if (g_Registry.aClosing[i].hPort == hPort) return i;
  }
  return -1;
}

bool AddClosing(HANDLE hPort, bool bRetired) {
  if (FindClosing(hPort) >= 0) return true;
  if (g_Registry.nClosing == MAX_CLOSING) return false;
  g_Registry.aClosing[g_Registry.nClosing++] = CClosing{hPort, bRetired};
  return true;
}

void RemoveClosing(int nIndex) {
  g_Registry.aClosing[nIndex] = g_Registry.aClosing[--g_Registry.nClosing];
}

bool HasUsers(HANDLE hPort, bool bReadsOnly) {
  for (int i = 0; i < MAX_USERS; ++i) {
    if (g_Registry.abUsed[i] && g_Registry.aUsers[i].hPort == hPort &&
        (!bReadsOnly || g_Registry.aUsers[i].kind == PortUseKind::Read)) {
      return true;
    }
  }
  return false;
}

// Ends the synchronous request of each user of hPort; returns how many
// users there were. Outside the registry lock: it takes it itself.
int CancelUsers(HANDLE hPort, bool bReadsOnly) {
  DWORD adwThreads[MAX_USERS];
  int nThreads = 0;
  {
    CSpinTurn lock(g_bRegistryBusy);
    for (int i = 0; i < MAX_USERS; ++i) {
      const CUser &user = g_Registry.aUsers[i];
      if (g_Registry.abUsed[i] && user.hPort == hPort &&
          (!bReadsOnly || user.kind == PortUseKind::Read)) {
        adwThreads[nThreads++] = user.dwThreadId;
      }
    }
  }
  // The last error left is the last failure to reach a user (0: none).
  SetLastError(0);
  for (int i = 0; i < nThreads; ++i) {
    // A user between its registration and its request is not found; the
    // caller tries again until the user has left.
    const HANDLE hThread = OpenThread(THREAD_TERMINATE, FALSE, adwThreads[i]);
    if (hThread == NULL) continue;
    const BOOL bCancelled = CancelSynchronousIo(hThread);
    const DWORD dwError = bCancelled || GetLastError() == ERROR_NOT_FOUND ? 0 : GetLastError();
    CloseHandle(hThread);
    SetLastError(dwError);
  }
  return nThreads;
}

// Ends and waits out the users of hPort (reads only, or all). A request
// that cannot be ended (the cancel keeps failing) is not waited for without
// end: FALSE then, with the cancel's error (ERROR_BUSY if it gave none).
bool EndUsers(HANDLE hPort, bool bReadsOnly) {
  const int MAX_TRIES = 2000;  // about two seconds
  for (int nTry = 0; CancelUsers(hPort, bReadsOnly) != 0; ++nTry) {
    if (nTry == MAX_TRIES) {
      if (GetLastError() == 0) SetLastError(ERROR_BUSY);
      return false;
    }
    Sleep(1);
    CSpinTurn lock(g_bRegistryBusy);
    if (!HasUsers(hPort, bReadsOnly)) break;
  }
  return true;
}

}  // namespace

CPortUse::CPortUse(HANDLE hPort, PortUseKind kind) : m_hPort(hPort) { Register(kind); }

CPortUse::CPortUse(PortUseKind kind) { Register(kind); }

void CPortUse::Register(PortUseKind kind) {
  const bool bWritePort = m_hPort == NULL;
  const DWORD dwThreadId = GetCurrentThreadId();
  for (;;) {
    {
      CSpinTurn lock(g_bRegistryBusy);
      if (bWritePort) m_hPort = g_UsbComm.m_hWritePort;
      if (FindClosing(m_hPort) >= 0) return;
      for (int i = 0; i < MAX_USERS; ++i) {
        if (!g_Registry.abUsed[i]) {
          g_Registry.abUsed[i] = true;
          g_Registry.aUsers[i] = CUser{m_hPort, dwThreadId, kind};
          m_nSlot = i;
          return;
        }
      }
    }
    Sleep(1);
  }
}

CPortUse::~CPortUse() {
  if (m_nSlot < 0) return;
  HANDLE hToClose = NULL;
  {
    CSpinTurn lock(g_bRegistryBusy);
    g_Registry.abUsed[m_nSlot] = false;
    const int nClosing = FindClosing(m_hPort);
    if (nClosing >= 0 && g_Registry.aClosing[nClosing].bRetired && !HasUsers(m_hPort, false)) {
      RemoveClosing(nClosing);
      hToClose = m_hPort;
    }
  }
  if (hToClose != NULL) {
    const DWORD dwError = GetLastError();
    CloseHandle(hToClose);
    SetLastError(dwError);
  }
}

BOOL ClosePortHandle(HANDLE hPort) {
  bool bMarked;
  {
    CSpinTurn lock(g_bRegistryBusy);
    if (g_UsbComm.m_hWritePort == hPort) g_UsbComm.m_hWritePort = NULL;
    bMarked = AddClosing(hPort, false);
  }
  if (!EndUsers(hPort, false)) {
    // The handle stays open and usable; a later close tries again.
    const DWORD dwError = GetLastError();
    CSpinTurn lock(g_bRegistryBusy);
    const int nClosing = FindClosing(hPort);
    if (bMarked && nClosing >= 0 && !g_Registry.aClosing[nClosing].bRetired) {
      RemoveClosing(nClosing);
    }
    SetLastError(dwError);
    return FALSE;
  }
  // Under the lock, so that no call takes up the value before it is free
  // again (Windows hands it out again at once). Nothing waits in this close:
  // the users have left.
  CSpinTurn lock(g_bRegistryBusy);
  const BOOL bClosed = CloseHandle(hPort);
  const DWORD dwError = GetLastError();
  if (bMarked) {
    const int nClosing = FindClosing(hPort);
    if (nClosing >= 0 && !g_Registry.aClosing[nClosing].bRetired) RemoveClosing(nClosing);
  }
  SetLastError(dwError);
  return bClosed;
}

BOOL EndPortReads(HANDLE hPort) { return EndUsers(hPort, true) ? TRUE : FALSE; }

void ReplaceWritePort(HANDLE hNew) {
  HANDLE hOld;
  bool bCloseNow;
  {
    CSpinTurn lock(g_bRegistryBusy);
    hOld = g_UsbComm.m_hWritePort.exchange(hNew);
    if (hOld == NULL || hOld == INVALID_HANDLE_VALUE) return;
    bCloseNow = !HasUsers(hOld, false) || !AddClosing(hOld, true);
  }
  if (bCloseNow) {
    CloseHandle(hOld);
    return;
  }
  // Its users end; the last one closes it.
  CancelUsers(hOld, false);
}

HANDLE StoreWritePortIfEmpty(HANDLE hOpened) {
  HANDLE hStored;
  {
    CSpinTurn lock(g_bRegistryBusy);
    hStored = g_UsbComm.m_hWritePort;
    if (hStored == NULL) {
      g_UsbComm.m_hWritePort = hOpened;
      return hOpened;
    }
  }
  if (hOpened != INVALID_HANDLE_VALUE) CloseHandle(hOpened);
  return hStored;
}
