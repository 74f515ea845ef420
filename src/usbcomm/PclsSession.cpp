// Printer-class session: start inside the read open, timed buffered read,
// buffered count, and the stop inside the close.
#include <stdio.h>

#include <new>

#include "buffer/CircularBuffer.h"
#include "trace/Trace.h"
#include "usbcomm/SrwLock.h"
#include "usbcomm/UsbComm.h"

namespace {

const DWORD RING_SIZE_EXPONENT = 12;  // 4096 bytes
const DWORD DRAIN_CHUNK = 63;
const DWORD READ_TIMEOUT_MS = 100;

void CloseIfOpen(HANDLE h) {
  if (h != NULL && h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

// Releases what a failed start has created, together with the read handle,
// so that the next read open starts afresh instead of reusing a handle that
// has no receiver behind it. No receiver thread exists at this point.
HANDLE AbandonSessionStart(CUsbComm &comm) {
  comm.m_bKeepReading = 0;
  CCircularBuffer *pBuffer = comm.m_pCCBuffer.exchange(nullptr);
  delete pBuffer;
  CloseIfOpen(comm.m_QuitEvent.exchange(NULL));
  CloseIfOpen(comm.m_hPCLSDataEvent.exchange(NULL));
  CloseIfOpen(comm.m_hPCLSRoomEvent.exchange(NULL));
  CloseIfOpen(comm.m_hReadPort.exchange(NULL));
  return INVALID_HANDLE_VALUE;
}

// Waits for the receiver thread to end. A thread whose resume at the start
// failed would never run, and so never end: it is resumed again whenever the
// wait finds it still suspended; and the quit event is set again, should
// setting it have failed. A receiver that sees the quit event ends within a
// second; one that has not ended after a few is beyond reach: the wait then
// counts as failed (WAIT_FAILED, last error WAIT_TIMEOUT), so the close
// returns instead of hanging and a later close tries again.
DWORD AwaitReceiverEnd(HANDLE hThread, HANDLE hQuitEvent) {
  const DWORD RESUME_RETRY_MS = 1000;
  const int MAX_ROUNDS = 5;
  for (int nRound = 0; nRound < MAX_ROUNDS; ++nRound) {
    if (nRound > 0) SetEvent(hQuitEvent);
    const DWORD dwSuspended = ResumeThread(hThread);
    if (dwSuspended == 0 || dwSuspended == (DWORD)-1) {
      const DWORD dwWait = WaitForSingleObject(hThread, RESUME_RETRY_MS);
      if (dwWait != WAIT_TIMEOUT) return dwWait;
    }
  }
  SetLastError(WAIT_TIMEOUT);
  return WAIT_FAILED;
}

// After a reader took bytes: a receiver that waits for room may read again.
// Its flag is set before it looks at the room left, and the bytes were taken
// before the flag is read here, so either it sees the room or this sees it
// waiting.
void TellRoom(CUsbComm &comm, HANDLE hRoomEvent) {
  if (comm.m_bAwaitingRoom.load() != 0 && hRoomEvent != NULL) SetEvent(hRoomEvent);
}

}  // namespace

bool CUsbComm::HasSession() const { return m_QuitEvent.load() != NULL; }

HANDLE CUsbComm::OpenPCLSReadPipe(const char *pszPath) {
  CExclusive starting(m_SessionBusy);
  // A running session is reused, also while the receiver swaps its handles.
  if (HasSession() || m_hReadPort != NULL) {
    TRACE("usbInitPipe", "...Just Returning handle");
    return m_hReadPort;
  }
  TRACE("usbInitPipe", "...Called Read Create File");
  const HANDLE hRead = OpenDevicePath(pszPath);
  if (hRead == INVALID_HANDLE_VALUE) {
    // Java gets no handle to close a session with: none is started, and so
    // no receiver reopens the printer behind the write pipe Java may hold.
    return INVALID_HANDLE_VALUE;
  }
  m_hReadPort = hRead;
  // A start that fails releases what it made, the read handle too.
  return StartPCLSSession();
}

HANDLE CUsbComm::StartPCLSSession() {
  HANDLE hResult = m_hReadPort;
  m_bKeepReading = 0;

  HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (hEvent == NULL) {
    TRACE_ERR("usbInitPipe", "m_QuitEvent", GetLastError());
    return AbandonSessionStart(*this);
  }
  m_QuitEvent = hEvent;

  TRACE("usbInitPipe", "Creating m_hPCLSDataEvent");
  hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (hEvent == NULL) {
    m_bHandlesValid = 0;
    return AbandonSessionStart(*this);
  }
  m_hPCLSDataEvent = hEvent;
  // The room event goes with the data event and fails the start as it does.
  hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (hEvent == NULL) {
    m_bHandlesValid = 0;
    return AbandonSessionStart(*this);
  }
  m_hPCLSRoomEvent = hEvent;
  m_bAwaitingRoom = 0;
  m_bDataSignalled = 0;
  m_bReceiverEnded = 0;

  TRACE("usbInitPipe", "Creating m_pCCBuffer");
  CCircularBuffer *pBuffer = NULL;
  try {
    pBuffer = new CCircularBuffer(RING_SIZE_EXPONENT);
  } catch (long) {
    pBuffer = NULL;
  } catch (const std::bad_alloc &) {
    pBuffer = NULL;
  }
  if (pBuffer == NULL) {
    m_bHandlesValid = 0;
    return AbandonSessionStart(*this);
  }
  m_pCCBuffer = pBuffer;

  TRACE("usbInitPipe", "*****Creating m_hWorkerThread*****");
  DWORD dwThreadId = 0;
  m_hWorkerThread = CreateThread(NULL, 0, ReadThreadProc, this, CREATE_SUSPENDED, &dwThreadId);
  char szMessage[TRACE_LINE_SIZE];
  if (m_hWorkerThread != NULL) {
    ResumeThread(m_hWorkerThread);
    snprintf(szMessage, sizeof szMessage, "ResumeThread succeeded");
  } else {
    snprintf(szMessage, sizeof szMessage, "CreateThread failed. Status=%d", (int)GetLastError());
    m_bHandlesValid = 0;
    hResult = INVALID_HANDLE_VALUE;
  }
  TRACE("usbInitPipe", szMessage);

  BYTE abDrain[DRAIN_CHUNK];
  while (BytesAvailable() != 0) {
    DWORD nCount = 0;
    GetPCLSData(abDrain, DRAIN_CHUNK, &nCount, READ_TIMEOUT_MS);
  }

  if (m_hWorkerThread == NULL) return AbandonSessionStart(*this);
  return hResult;
}

BOOL CUsbComm::GetPCLSData(BYTE *pBuffer, DWORD nNumberOfBytesToRead, DWORD *pnBytesRead,
                           DWORD dwTimeout) {
  CShared reader(m_SessionReaders);
  // Taken once: the stop may clear the fields meanwhile, but keeps what they
  // held alive until this reader has left.
  CCircularBuffer *const pRing = m_pCCBuffer;
  const HANDLE hDataEvent = m_hPCLSDataEvent;
  const HANDLE hQuitEvent = m_QuitEvent;
  const HANDLE hRoomEvent = m_hPCLSRoomEvent;

  TRACE_FMT("GetPCLSData", "nNumberOfBytesToRead=%d wait:%ld", (int)nNumberOfBytesToRead,
            (long)dwTimeout);
  BOOL bResult = 0;
  for (;;) {
    m_bDataSignalled = 0;  // see SignalData: the receiver sets the event again
    if (!ResetEvent(hDataEvent)) {
      TRACE("GetPCLSData", "ResetEvent failed");
      break;
    }
    TRACE("GetPCLSData", "ResetEvent succeeded");

    DWORD nBytes = 0;
    try {
      if (pRing != NULL) nBytes = pRing->Read(pBuffer, nNumberOfBytesToRead, pnBytesRead);
      TRACE_FMT("GetPCLSData", "nBytes1 = %d", (int)nBytes);
    } catch (long) {
      nBytes = 0;
      TRACE_FMT("GetPCLSData", "exception m_pCCBuffer->BytesAvailable nBytes = %d", 0);
    }
    if (nBytes != 0) {
      TellRoom(*this, hRoomEvent);
      bResult = 1;
      break;
    }

    TRACE("GetPCLSData", "Before WaitForMultipleObjects");
    const HANDLE ahWait[2] = {hDataEvent, hQuitEvent};
    const DWORD dwWait = WaitForMultipleObjects(2, ahWait, FALSE, dwTimeout);
    TRACE("GetPCLSData", "WaitForMultipleObjects returned");
    TRACE("GetPCLSData", "After WaitForMultipleObjects");

    if (dwWait == WAIT_OBJECT_0) {
      nBytes = pRing != NULL ? pRing->Read(pBuffer, nNumberOfBytesToRead, pnBytesRead) : 0;
      TRACE_FMT("GetPCLSData", "nBytes2 = %d", (int)nBytes);
      if (nBytes != 0) {
        TellRoom(*this, hRoomEvent);
        *pnBytesRead = nBytes;
        bResult = 1;
        break;
      }
      TRACE("GetPCLSData", "Zero bytes read; resetting m_hPCLSDataEvent");
      bResult = 1;
      continue;
    }
    if (dwWait == WAIT_OBJECT_0 + 1) {
      m_bKeepReading = 0;
      bResult = 0;
    } else if (dwWait == WAIT_TIMEOUT) {
      TRACE("GetPCLSData", "Timeout");
      bResult = 0;
    } else {
      TRACE("GetPCLSData", "default");
      bResult = 0;
    }
    break;
  }
  TRACE("GetPCLSData", "exit");
  return bResult;
}

BOOL CUsbComm::ReadPCLS(BYTE *pBuffer, DWORD nNumberOfBytesToRead, DWORD *pnCount) {
  for (;;) {
    TRACE("usbReadInputPipe", "Entering GetPCLSData");
    *pnCount = 0;
    const BOOL bResult = GetPCLSData(pBuffer, nNumberOfBytesToRead, pnCount, READ_TIMEOUT_MS);
    TRACE("usbReadInputPipe", "Left GetPCLSData");
    if (bResult) {
      if (*pnCount > 0) return bResult;
      continue;
    }
    // Tell Java why: the printer is gone (the receiver's device error), the
    // receiver has ended and nothing more will come, or the printer is there
    // and sent nothing in time.
    const DWORD dwDeviceError = m_dwDeviceError;
    SetLastError(dwDeviceError != 0 ? dwDeviceError
                 : m_bReceiverEnded ? ERROR_NOT_READY
                                    : WAIT_TIMEOUT);
    TRACE("usbReadInputPipe", "GetPCLSData: 0 return");
    TRACE_ERR("usbReadInputPipe", "GetPCLSData", GetLastError());
    return bResult;
  }
}

DWORD CUsbComm::BytesAvailable() {
  CShared reader(m_SessionReaders);
  CCircularBuffer *const pRing = m_pCCBuffer;
  return pRing != NULL ? pRing->BytesAvailable() : 0;
}

int CUsbComm::StopPCLSSession(HANDLE hPassed) {
  CExclusive stopping(m_SessionBusy);
  return StopSessionLocked(hPassed, true);
}

int CUsbComm::StopSessionLocked(HANDLE hPassed, bool bTrace) {
  const bool bMatch = hPassed == m_hReadPort.load() || hPassed == m_hWritePort.load();
  // With no quit event there is nothing to wait for; show the result of a
  // wait that found the receiver gone.
  DWORD dwWait = WAIT_OBJECT_0;
  const HANDLE hQuitEvent = m_QuitEvent;
  if (hQuitEvent != NULL) {
    SetEvent(hQuitEvent);
    if (bTrace) TRACE("usbClosePipe", "WaitForSingleObject");
    // Wait for the receiver thread itself, not for a signal from it:
    // a reader may pass that signal on while the receiver still runs, and
    // some of the receiver's ways out never give it. Once the thread has
    // ended, nothing of the session is in use on its side.
    const HANDLE hThread = m_hWorkerThread;
    if (hThread != NULL) dwWait = AwaitReceiverEnd(hThread, hQuitEvent);
    if (dwWait == WAIT_FAILED) {
      if (bTrace) TRACE("usbClosePipe", "WaitForSingleObject m_ReadThreadTerminated failed");
      if (bTrace) TRACE("usbClosePipe", "Exit");
      return 1;
    }
    if (bTrace) TRACE("usbClosePipe", "WaitForSingleObject default");
    if (bTrace) TRACE_FMT("usbClosePipe", "wait ret=%ld", (long)dwWait);
  }
  if (bTrace && bMatch) {
    TRACE_FMT("usbClosePipe", "match close res rv=%ld", (long)dwWait);
  } else if (bTrace) {
    TRACE_FMT("usbClosePipe", "differ close res rv=%ld", (long)dwWait);
  }

  // Detach first, so that a reader arriving from now on finds no session;
  // then let the readers already inside leave before anything is released.
  const HANDLE hThread = m_hWorkerThread.exchange(NULL);
  CCircularBuffer *const pRing = m_pCCBuffer.exchange(nullptr);
  const HANDLE hQuit = m_QuitEvent.exchange(NULL);
  const HANDLE hDataEvent = m_hPCLSDataEvent.exchange(NULL);
  const HANDLE hRoomEvent = m_hPCLSRoomEvent.exchange(NULL);
  { CExclusive readersLeft(m_SessionReaders); }

  if (hThread != NULL) {
    if (bTrace) TRACE("usbClosePipe", "CloseHandle m_hWorkerThread");
    CloseHandle(hThread);
  }
  delete pRing;
  if (hQuit != NULL) CloseHandle(hQuit);
  if (hDataEvent != NULL) CloseHandle(hDataEvent);
  if (hRoomEvent != NULL) CloseHandle(hRoomEvent);
  m_bReceiverEnded = 0;

  const HANDLE hRead = m_hReadPort.exchange(NULL);
  if (hRead != NULL) {
    if (bTrace && bMatch) TRACE("usbClosePipe", "Close Read Handle");
    CloseHandle(hRead);
  }
  // A write blocked on the write handle is ended first; one that cannot be
  // ended keeps the handle stored, and the close reports it.
  const HANDLE hWrite = m_hWritePort;
  int nResult = 0;
  if (hWrite != NULL) {
    if (bTrace && bMatch) TRACE("usbClosePipe", "Close Write Handle");
    if (!m_Requests.ClosePort(hWrite, &m_hWritePort) && m_hWritePort.load() == hWrite) nResult = 1;
  }

  if (bTrace) TRACE("usbClosePipe", "Exit");
  return nResult;
}
