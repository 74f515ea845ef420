#include "usbcomm/Requests.h"

#include <string.h>

#include "usbcomm/SrwLock.h"

namespace {

// A request that a cancel does not end is asked again each round; after the
// last round its close or purge gives up. Rounds are long against Windows'
// 15.6 ms timer, so the bound holds there too.
const DWORD CANCEL_ROUND_MS = 500;
const int CANCEL_ROUNDS = 4;

const unsigned ALL_REQUESTS = 0xFFFFFFFFu;

bool IsOpen(HANDLE h) { return h != NULL && h != INVALID_HANDLE_VALUE; }

// CloseHandle without touching the caller's last error.
void CloseQuietly(HANDLE h) {
  const DWORD dwError = GetLastError();
  CloseHandle(h);
  SetLastError(dwError);
}

}  // namespace

CRequests::CRequests() : m_nClosing(0), m_nSeq(0) {
  InitializeSRWLock(&m_Lock);
  InitializeConditionVariable(&m_Left);
  memset(m_aSlots, 0, sizeof m_aSlots);
  memset(m_aClosing, 0, sizeof m_aClosing);
}

// The session that owns this outlives every request.
CRequests::~CRequests() {}

int CRequests::FindClosing(HANDLE hPort) const {
  for (int i = 0; i < m_nClosing; ++i) {
    if (m_aClosing[i].hPort == hPort) return i;
  }
  return -1;
}

bool CRequests::Matches(const CSlot &slot, HANDLE hPort, bool bReadsOnly,
                        unsigned nSeqBefore) const {
  return slot.bUsed && slot.hPort == hPort && (!bReadsOnly || slot.kind == RequestKind::Read) &&
         slot.nSeq < nSeqBefore;
}

bool CRequests::AnyMatching(HANDLE hPort, bool bReadsOnly, unsigned nSeqBefore) const {
  for (const CSlot &slot : m_aSlots) {
    if (Matches(slot, hPort, bReadsOnly, nSeqBefore)) return true;
  }
  return false;
}

// A request not issued yet is only marked: its caller cancels it as soon as
// it is in flight (see CRequest::Finish). Returns the last cancel that
// failed for another reason than the request having ended (0: none).
DWORD CRequests::CancelMatching(HANDLE hPort, bool bReadsOnly, unsigned nSeqBefore) {
  DWORD dwFailed = 0;
  for (CSlot &slot : m_aSlots) {
    if (!Matches(slot, hPort, bReadsOnly, nSeqBefore)) continue;
    slot.bCancel = true;
    if (slot.bIssued && !CancelIoEx(hPort, &slot.ov) && GetLastError() != ERROR_NOT_FOUND) {
      dwFailed = GetLastError();
    }
  }
  return dwFailed;
}

bool CRequests::EndMatching(HANDLE hPort, bool bReadsOnly, unsigned nSeqBefore) {
  DWORD dwFailed = 0;
  for (int nRound = 0; nRound < CANCEL_ROUNDS; ++nRound) {
    dwFailed = CancelMatching(hPort, bReadsOnly, nSeqBefore);
    const DWORD dwStart = GetTickCount();
    for (;;) {
      if (!AnyMatching(hPort, bReadsOnly, nSeqBefore)) return true;
      const DWORD dwSpent = GetTickCount() - dwStart;
      if (dwSpent >= CANCEL_ROUND_MS) break;
      SleepConditionVariableSRW(&m_Left, &m_Lock, CANCEL_ROUND_MS - dwSpent, 0);
    }
  }
  SetLastError(dwFailed != 0 ? dwFailed : ERROR_BUSY);
  return false;
}

BOOL CRequests::ClosePort(HANDLE hPort, std::atomic<HANDLE> *pStored) {
  CExclusive lock(m_Lock);
  // Another close of this value is under way: once it is done the value is
  // closed (and may already name something else), so this one fails as a
  // second close does.
  if (FindClosing(hPort) >= 0) {
    while (FindClosing(hPort) >= 0) SleepConditionVariableSRW(&m_Left, &m_Lock, INFINITE, 0);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  while (m_nClosing == MAX_CLOSING) SleepConditionVariableSRW(&m_Left, &m_Lock, INFINITE, 0);
  m_aClosing[m_nClosing++] = CClosing{hPort, false};
  const bool bEnded = EndMatching(hPort, false, ALL_REQUESTS);
  const DWORD dwEndError = GetLastError();
  BOOL bClosed = FALSE;
  DWORD dwError = dwEndError;
  if (bEnded) {
    // Under the lock, so that the value is forgotten before anyone can be
    // handed it again.
    if (pStored != nullptr && pStored->load() == hPort) pStored->store(NULL);
    bClosed = CloseHandle(hPort);
    dwError = GetLastError();
  }
  const int nClosing = FindClosing(hPort);
  m_aClosing[nClosing] = m_aClosing[--m_nClosing];
  WakeAllConditionVariable(&m_Left);
  SetLastError(dwError);
  return bClosed;
}

BOOL CRequests::EndReads(HANDLE hPort) {
  CExclusive lock(m_Lock);
  // Only the reads in flight now: a reader that reads again meanwhile is
  // not waited for, so a purge cannot be held off.
  return EndMatching(hPort, true, m_nSeq + 1) ? TRUE : FALSE;
}

void CRequests::ReplacePort(std::atomic<HANDLE> *pStored, HANDLE hNew) {
  CExclusive lock(m_Lock);
  const HANDLE hOld = pStored->exchange(hNew);
  if (!IsOpen(hOld)) return;
  if (AnyMatching(hOld, false, ALL_REQUESTS) && m_nClosing < MAX_CLOSING) {
    m_aClosing[m_nClosing++] = CClosing{hOld, true};
    CancelMatching(hOld, false, ALL_REQUESTS);
    return;
  }
  // Nothing in flight, or no room to wait for it: closing an overlapped
  // handle ends its requests too.
  CloseQuietly(hOld);
}

HANDLE CRequests::StoreIfEmpty(std::atomic<HANDLE> *pStored, HANDLE hOpened) {
  CExclusive lock(m_Lock);
  const HANDLE hStored = pStored->load();
  if (hStored == NULL) {
    pStored->store(hOpened);
    return hOpened;
  }
  if (IsOpen(hOpened)) CloseQuietly(hOpened);
  return hStored;
}

void CRequests::CancelOwn(int nSlot) {
  CExclusive lock(m_Lock);
  const DWORD dwError = GetLastError();
  CSlot &slot = m_aSlots[nSlot];
  CancelIoEx(slot.hPort, &slot.ov);
  SetLastError(dwError);
}

CRequest::CRequest(CRequests &requests, HANDLE hPort, RequestKind kind,
                   const std::atomic<HANDLE> *pStored)
    : m_Requests(requests), m_hPort(hPort) {
  CExclusive lock(requests.m_Lock);
  for (;;) {
    if (pStored != nullptr) m_hPort = pStored->load();
    if (requests.FindClosing(m_hPort) >= 0) {
      m_dwError = ERROR_OPERATION_ABORTED;
      return;
    }
    for (int i = 0; i < CRequests::MAX_REQUESTS; ++i) {
      CRequests::CSlot &slot = requests.m_aSlots[i];
      if (slot.bUsed) continue;
      slot.bUsed = true;
      slot.bIssued = false;
      slot.bCancel = false;
      slot.kind = kind;
      slot.hPort = m_hPort;
      slot.nSeq = ++requests.m_nSeq;
      m_nSlot = i;
      return;
    }
    // More requests at once than slots: wait for one to leave.
    SleepConditionVariableSRW(&requests.m_Left, &requests.m_Lock, INFINITE, 0);
  }
}

CRequest::~CRequest() {
  if (m_nSlot < 0) return;
  CExclusive lock(m_Requests.m_Lock);
  CRequests::CSlot &slot = m_Requests.m_aSlots[m_nSlot];
  slot.bUsed = false;
  if (slot.ov.hEvent != NULL) CloseQuietly(slot.ov.hEvent);
  slot.ov.hEvent = NULL;
  const int nClosing = m_Requests.FindClosing(m_hPort);
  if (nClosing >= 0 && m_Requests.m_aClosing[nClosing].bRetired &&
      !m_Requests.AnyMatching(m_hPort, false, ALL_REQUESTS)) {
    m_Requests.m_aClosing[nClosing] = m_Requests.m_aClosing[--m_Requests.m_nClosing];
    CloseQuietly(m_hPort);
  }
  WakeAllConditionVariable(&m_Requests.m_Left);
}

// Each request has an event of its own, made here and closed as it leaves:
// nothing outlives the request, so nothing is left open when a program
// stops using the printer without a close.
bool CRequest::Start() {
  m_dwErrorBefore = GetLastError();
  if (m_nSlot < 0) {
    SetLastError(m_dwError);
    return false;
  }
  OVERLAPPED &ov = m_Requests.m_aSlots[m_nSlot].ov;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (ov.hEvent == NULL) return false;
  SetLastError(m_dwErrorBefore);
  return true;
}

// A request that did not complete at once is in flight from here on: a
// cancel asked before this point is carried out now, one asked after it by
// the canceller (both look at bIssued and bCancel under the lock).
BOOL CRequest::Finish(BOOL bStarted, DWORD *pnDone, const CWaitLimit *pLimit) {
  CRequests::CSlot &slot = m_Requests.m_aSlots[m_nSlot];
  if (bStarted) return TRUE;  // done at once: *pnDone holds the count
  if (GetLastError() != ERROR_IO_PENDING) return FALSE;
  bool bCancel;
  {
    CExclusive lock(m_Requests.m_Lock);
    slot.bIssued = true;
    bCancel = slot.bCancel;
  }
  if (bCancel) CancelIoEx(m_hPort, &slot.ov);
  const DWORD dwCut = pLimit != nullptr && !bCancel ? AwaitLimit(*pLimit) : 0;
  if (!GetOverlappedResult(m_hPort, &slot.ov, pnDone, TRUE)) {
    if (!HasOverlappedIoCompleted(&slot.ov)) AwaitEnd(slot.ov);
    // The wait failed, not necessarily the request: what the printer took
    // is reported as taken.
    if (slot.ov.Internal != 0) {
      *pnDone = (DWORD)slot.ov.InternalHigh;
      if (dwCut != 0 && GetLastError() == ERROR_OPERATION_ABORTED) {
        // Ended by its limit, unless a close or purge wanted it ended too.
        CExclusive lock(m_Requests.m_Lock);
        if (!slot.bCancel) SetLastError(dwCut);
      }
      return FALSE;
    }
    *pnDone = (DWORD)slot.ov.InternalHigh;
  }
  // As a synchronous call that succeeds, leave the last error as it was
  // (the pending request set ERROR_IO_PENDING).
  SetLastError(m_dwErrorBefore);
  return TRUE;
}

// Waits for the request in flight within the limit; once the time-out has
// passed or the stop asks for it, cancels it. Returns why it was cut short
// (WAIT_TIMEOUT or ERROR_OPERATION_ABORTED), 0 when it ended by itself or
// the wait failed (the caller's wait then takes over).
DWORD CRequest::AwaitLimit(const CWaitLimit &limit) {
  const HANDLE hEvent = m_Requests.m_aSlots[m_nSlot].ov.hEvent;
  const DWORD dwStart = GetTickCount();
  for (;;) {
    const DWORD dwSpent = GetTickCount() - dwStart;
    DWORD dwWait = INFINITE;
    if (limit.dwTimeoutMs != INFINITE) {
      dwWait = dwSpent >= limit.dwTimeoutMs ? 0 : limit.dwTimeoutMs - dwSpent;
    }
    if (limit.pfnStop != nullptr && dwWait > CRequests::STOP_POLL_MS) {
      dwWait = CRequests::STOP_POLL_MS;
    }
    if (WaitForSingleObject(hEvent, dwWait) != WAIT_TIMEOUT) return 0;
    DWORD dwCut = 0;
    if (limit.pfnStop != nullptr && limit.pfnStop(limit.pContext)) {
      dwCut = ERROR_OPERATION_ABORTED;
    } else if (limit.dwTimeoutMs != INFINITE && GetTickCount() - dwStart >= limit.dwTimeoutMs) {
      dwCut = WAIT_TIMEOUT;
    }
    if (dwCut != 0) {
      m_Requests.CancelOwn(m_nSlot);
      return dwCut;
    }
  }
}

// The wait for the request failed while it is still in flight: it is ended
// and waited out, since its OVERLAPPED belongs to the slot and must not be
// written after the slot is given back. Should waiting on its event fail
// too, the request is watched until it is over.
void CRequest::AwaitEnd(OVERLAPPED &ov) {
  const DWORD dwError = GetLastError();
  CancelIoEx(m_hPort, &ov);
  if (WaitForSingleObject(ov.hEvent, INFINITE) != WAIT_OBJECT_0) {
    while (!HasOverlappedIoCompleted(&ov)) {
      Sleep(1);
      CancelIoEx(m_hPort, &ov);
    }
  }
  SetLastError(dwError);
}

BOOL CRequest::Read(void *pBuffer, DWORD nBytes, DWORD *pnDone) {
  *pnDone = 0;
  if (!Start()) return FALSE;
  const BOOL bStarted =
      ReadFile(m_hPort, pBuffer, nBytes, pnDone, &m_Requests.m_aSlots[m_nSlot].ov);
  return Finish(bStarted, pnDone);
}

BOOL CRequest::Write(const void *pBytes, DWORD nBytes, DWORD *pnDone, const CWaitLimit *pLimit) {
  *pnDone = 0;
  if (!Start()) return FALSE;
  const BOOL bStarted =
      WriteFile(m_hPort, pBytes, nBytes, pnDone, &m_Requests.m_aSlots[m_nSlot].ov);
  return Finish(bStarted, pnDone, pLimit);
}

BOOL CRequest::Control(DWORD dwCode, void *pIn, DWORD nIn, void *pOut, DWORD nOut, DWORD *pnDone) {
  *pnDone = 0;
  if (!Start()) return FALSE;
  const BOOL bStarted = DeviceIoControl(m_hPort, dwCode, pIn, nIn, pOut, nOut, pnDone,
                                        &m_Requests.m_aSlots[m_nSlot].ov);
  return Finish(bStarted, pnDone);
}
