// Receiver thread of a printer-class session: one overlapped 64-byte read
// outstanding at a time, the bytes into the ring buffer, recovery by
// reopening the handles after access and handle errors. A read is issued
// only while the ring has room for a whole block: nothing read is dropped;
// what the ring cannot take yet stays in the printer.
#include <string.h>

#include "buffer/CircularBuffer.h"
#include "trace/Trace.h"
#include "usbcomm/UsbComm.h"

// "File not found????" is traced once per load of the library.
std::atomic<LONG> g_bFileNotFoundTraced(0);

namespace {

const DWORD READ_BLOCK = 64;
const int DUMP_BYTES_PER_LINE = 12;
const DWORD ACCESS_DENIED_QUIT_WAIT_MS = 20;
const DWORD INVALID_HANDLE_QUIT_WAIT_MS = 500;
const DWORD OTHER_ERROR_QUIT_WAIT_MS = 100;
const DWORD OTHER_ERROR_RETRY_PAUSE_MS = 250;
// A device that keeps answering "not found" or "end of file" must neither
// burn a core nor keep the receiver from seeing the quit event.
const DWORD RETRY_QUIT_WAIT_MS = 20;

bool QuitSignalled(HANDLE hQuitEvent, DWORD dwTimeout) {
  return WaitForSingleObject(hQuitEvent, dwTimeout) == WAIT_OBJECT_0;
}

// The errors Windows gives for a printer that was unplugged or switched off
// under an open handle.
bool IsRemovalError(DWORD dwError) {
  return dwError == ERROR_DEVICE_NOT_CONNECTED || dwError == ERROR_GEN_FAILURE ||
         dwError == ERROR_NO_SUCH_DEVICE || dwError == ERROR_BAD_COMMAND;
}

// Waits until the read in flight on pov is over: a cancelled read may still
// complete into the input buffer and the record, which the next read or the
// end of ReceiveData would hand back. Should the cancel itself fail, it is
// repeated rather than waiting for a read that nothing ends.
void AwaitCancelledRead(HANDLE hRead, OVERLAPPED *pov, BOOL bCancelled) {
  DWORD nIgnored = 0;
  while (!bCancelled) {
    if (GetOverlappedResult(hRead, pov, &nIgnored, FALSE) ||
        GetLastError() != ERROR_IO_INCOMPLETE) {
      return;
    }
    Sleep(1);
    bCancelled = CancelIo(hRead);
  }
  GetOverlappedResult(hRead, pov, &nIgnored, TRUE);
}

// After an access or handle error: the printer counts as powered while its
// handles could be opened again.
void ReopenAndReportPower(CUsbComm &comm) {
  if (comm.ReopenCom()) {
    TRACE("ReceiveData", "Setting PCLSPowerStatus TRUE");
    comm.m_bPCLSPowerStatus = 1;
  } else {
    TRACE("ReceiveData", "Setting PCLSPowerStatus FALSE");
    comm.m_bPCLSPowerStatus = 0;
  }
}

// Returns once the ring can take a whole block, or false when the quit event
// ended the wait. A reader that takes bytes sets the room event while
// m_bAwaitingRoom is 1 (see TellRoom); the flag is raised before the room is
// looked at, so no taking goes unseen.
bool AwaitRoom(CUsbComm &comm) {
  CCircularBuffer *const pRing = comm.m_pCCBuffer;
  if (pRing->FreeSpace() >= READ_BLOCK) return true;
  const HANDLE ahWait[2] = {comm.m_hPCLSRoomEvent, comm.m_QuitEvent};
  bool bRoom = true;
  comm.m_bAwaitingRoom = 1;
  for (;;) {
    const BOOL bReset = ResetEvent(ahWait[0]);
    if (pRing->FreeSpace() >= READ_BLOCK) break;
    const DWORD dwWait = bReset ? WaitForMultipleObjects(2, ahWait, FALSE, INFINITE) : WAIT_FAILED;
    if (dwWait == WAIT_OBJECT_0) continue;
    // The quit event, or a failed call: that one must not spin.
    if (dwWait == WAIT_OBJECT_0 + 1 || QuitSignalled(comm.m_QuitEvent, RETRY_QUIT_WAIT_MS)) {
      bRoom = false;
      break;
    }
  }
  comm.m_bAwaitingRoom = 0;
  return bRoom;
}

// Sets the data event after a store, unless it is still set from an earlier
// one: a system call saved per block while the reader is busy. A reader
// clears m_bDataSignalled before it resets the event and looks into the ring;
// this store precedes the flag's exchange, so a reader that reset the event
// after a skipped set still finds the bytes.
BOOL SignalData(CUsbComm &comm) {
  if (comm.m_bDataSignalled.exchange(1) != 0) return TRUE;
  if (SetEvent(comm.m_hPCLSDataEvent)) return TRUE;
  comm.m_bDataSignalled = 0;
  return FALSE;
}

void StoreBlock(CUsbComm &comm, const BYTE *pbInput, DWORD nBytes) {
  comm.m_pCCBuffer.load()->Write(pbInput, nBytes);
}

// The read is pending: wait for it or for the quit event. The input buffer
// and the record stay in use until the read is over, also when it is
// cancelled or the wait failed, because the next read reuses both.
void HandlePendingRead(CUsbComm &comm, HANDLE hRead, OVERLAPPED *pov, BYTE *pbInput,
                       DWORD *pnBytesRead) {
  comm.m_bPCLSPowerStatus = 1;
  comm.m_dwDeviceError = 0;
  TRACE("ReceiveData", "WaitForMultipleObjects start");
  const HANDLE ahWait[2] = {pov->hEvent, comm.m_QuitEvent};
  const DWORD dwWait = WaitForMultipleObjects(2, ahWait, FALSE, INFINITE);
  TRACE("ReceiveData", "WaitForMultipleObjects completed");
  if (dwWait == WAIT_OBJECT_0) {
    TRACE("ReadFile", "Overlapped event fires");
  } else if (dwWait == WAIT_OBJECT_0 + 1) {
    TRACE("ReadFile", "Quit event fires");
    comm.m_bKeepReading = 0;
  } else {
    TRACE_ERR("ReceiveData", "default", GetLastError());
  }

  if (comm.m_bKeepReading == 0) {
    TRACE("ReceiveData", "SetEvent(m_ReadThreadTerminated)");
    AwaitCancelledRead(hRead, pov, CancelIo(hRead));
    return;
  }

  BOOL bDone = GetOverlappedResult(hRead, pov, pnBytesRead, FALSE);
  if (!bDone) {
    const DWORD dwError = GetLastError();
    TRACE("ReceiveData", "***Problem with GetOverlappedResult");
    if (dwError == ERROR_HANDLE_EOF) {
      TRACE("ReceiveData", "ERROR_HANDLE_EOF");
    } else {
      TRACE("ReceiveData", "default");
    }
    if (dwError != ERROR_IO_INCOMPLETE) return;
    // Still in flight after a failed wait. Bytes it brought in before the
    // cancel took effect are kept as from any completed read.
    AwaitCancelledRead(hRead, pov, CancelIo(hRead));
    if (!GetOverlappedResult(hRead, pov, pnBytesRead, FALSE) || *pnBytesRead == 0) return;
  }

  if (!ResetEvent(pov->hEvent)) {
    TRACE("ReceiveData", "Reset event failed");
    comm.m_bKeepReading = 0;
    return;
  }
  TRACE_FMT("ReceiveData", "From1 ReceiveData nBytesRead=%d", (int)*pnBytesRead);
  if (*pnBytesRead == 0) {
    TRACE("ReceiveData", "False positive, no data");
    return;
  }
  DumpHex("READ1", pbInput, (int)*pnBytesRead, DUMP_BYTES_PER_LINE);
  StoreBlock(comm, pbInput, *pnBytesRead);
  if (SignalData(comm)) {
    TRACE("ReceiveData", "1SetEvent(m_hPCLSDataEvent)");
  } else {
    TRACE_ERR("ReceiveData", "1SetEvent(m_hPCLSDataEvent) returns error", GetLastError());
  }
}

}  // namespace

DWORD WINAPI ReadThreadProc(LPVOID pParameter) {
  CUsbComm &comm = *static_cast<CUsbComm *>(pParameter);
  comm.m_bThreadActive = 1;
  TRACE("_ReceiveData", "***** ENTER *****");
  const int nResult = comm.ReceiveData();
  TRACE("_ReceiveData", "***** EXIT *****");
  comm.m_bThreadActive = 0;
  comm.m_bReceiverEnded = 1;
  // The stop waits for this thread to end before it closes the event.
  const HANDLE hQuitEvent = comm.m_QuitEvent;
  if (hQuitEvent != NULL) SetEvent(hQuitEvent);
  return (DWORD)nResult;
}

int CUsbComm::ReceiveData() {
  BYTE abInput[READ_BLOCK];
  OVERLAPPED ov;
  DWORD nBytesRead = 0;

  TRACE("ReceiveData", "Entry");
  TRACE("ReceiveData", "Entry");
  memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (ov.hEvent == NULL) {
    TRACE("ReceiveData", "Event creation failed");
    return 0;
  }
  m_bPCLSPowerStatus = 1;
  m_bKeepReading = 1;

  for (;;) {
    bool bRetryAtOnce = false;
    if (!AwaitRoom(*this)) {
      m_bKeepReading = 0;
      break;
    }
    TRACE("ReceiveData", "Loop top");
    ov.Offset = 0;
    ov.OffsetHigh = 0;
    TRACE("ReceiveData-Jt3", "Entering ReadFile (PC)");
    // ReopenCom replaces the handle only on this thread, between reads.
    const HANDLE hRead = m_hReadPort;
    if (ReadFile(hRead, abInput, READ_BLOCK, &nBytesRead, &ov)) {
      m_dwDeviceError = 0;
      TRACE_FMT("ReceiveData", "From2 ReceiveData nBytesRead=%d", (int)nBytesRead);
      DumpHex("READ2", abInput, (int)nBytesRead, DUMP_BYTES_PER_LINE);
      StoreBlock(*this, abInput, nBytesRead);
      if (SignalData(*this)) {
        TRACE("ReceiveData", "2SetEvent(m_hPCLSDataEvent)");
      } else {
        TRACE_ERR("ReceiveData", "2SetEvent(m_hPCLSDataEvent) returns error", GetLastError());
      }
      TRACE("ReceiveData", "ReadFile No error");
    } else {
      const DWORD dwError = GetLastError();
      // A read on the handle of a failed reopen says nothing new: the
      // reopen recorded why it failed.
      if (dwError != ERROR_IO_PENDING && hRead != INVALID_HANDLE_VALUE) {
        m_dwDeviceError = dwError;
      }
      switch (dwError) {
        case ERROR_FILE_NOT_FOUND:
          if (g_bFileNotFoundTraced.exchange(1) == 0) TRACE("ReceiveData", "File not found????");
          if (QuitSignalled(m_QuitEvent, RETRY_QUIT_WAIT_MS)) {
            m_bKeepReading = 0;
            CancelIo(hRead);
          }
          break;

        case ERROR_ACCESS_DENIED:
          TRACE("ReceiveData", "ERROR_ACCESS_DENIED Error");
          m_bPCLSPowerStatus = 0;
          ReopenAndReportPower(*this);
          if (QuitSignalled(m_QuitEvent, ACCESS_DENIED_QUIT_WAIT_MS)) {
            m_bKeepReading = 0;
            TRACE("ReceiveData", "Terminating Read Thread(EAD)");
          }
          break;

        case ERROR_INVALID_HANDLE:
          TRACE("ReceiveData", "ERROR_INVALID_HANDLE Error");
          TRACE("ReceiveData", "Calling ReopenCom");
          ReopenAndReportPower(*this);
          TRACE("ReceiveData", "ERROR_INVALID_HANDLE Error");
          if (QuitSignalled(m_QuitEvent, INVALID_HANDLE_QUIT_WAIT_MS)) {
            m_bKeepReading = 0;
            TRACE("ReceiveData", "Terminating Read Thread(EIH)");
            CancelIo(m_hReadPort);
          }
          break;

        case ERROR_HANDLE_EOF:
          TRACE("ReadFile", "ERROR_HANDLE_EOF");
          if (QuitSignalled(m_QuitEvent, RETRY_QUIT_WAIT_MS)) {
            m_bKeepReading = 0;
            CancelIo(hRead);
          }
          break;

        case ERROR_IO_PENDING:
          TRACE("ReadFile", "ERROR_IO_PENDING");
          HandlePendingRead(*this, hRead, &ov, abInput, &nBytesRead);
          break;

        default:
          TRACE_FMT("Default case", " dwError = %d", (int)dwError);
          if (IsRemovalError(dwError)) {
            // The printer is gone: retrying the dead handle would never see
            // it come back. Reopen as after a handle error, at its pace.
            m_bPCLSPowerStatus = 0;
            ReopenAndReportPower(*this);
            if (QuitSignalled(m_QuitEvent, INVALID_HANDLE_QUIT_WAIT_MS)) {
              m_bKeepReading = 0;
              TRACE("ReceiveData", "Terminating Read Thread(EIH)");
            }
            break;
          }
          if (QuitSignalled(m_QuitEvent, OTHER_ERROR_QUIT_WAIT_MS)) {
            m_bKeepReading = 0;
            TRACE("ReceiveData", "Terminating Read Thread(EIH)");
            CancelIo(hRead);
          } else {
            CancelIo(hRead);
            Sleep(OTHER_ERROR_RETRY_PAUSE_MS);
            TRACE("ReceiveData", "default error - doing Cancel I/O and making retry attempt");
            bRetryAtOnce = true;
          }
          break;
      }
    }
    if (!bRetryAtOnce && m_bKeepReading == 0) break;
  }

  CloseHandle(ov.hEvent);
  TRACE("ReceiveData", "Exit");
  return 0;
}

int CUsbComm::ReopenCom() {
  TRACE("ReopenCom", "Invalidate Handles");
  m_bHandlesValid = 0;
  const int nUsbType = m_nUsbType;
  if (nUsbType < 0) {
    const HANDLE hOldRead = m_hReadPort.exchange(NULL);
    if (hOldRead != NULL && hOldRead != INVALID_HANDLE_VALUE) CloseHandle(hOldRead);
    m_Requests.ReplacePort(&m_hWritePort, NULL);
    return 0;
  }

  // The new handles are opened before the old ones go and swapped in whole,
  // so that no open or write ever finds no handle, and no handle value is
  // closed while a field still holds it (Windows hands a closed value out
  // again at once). Nothing found leaves the handles invalid; the opens below
  // then fail on whatever path the buffer holds.
  LocateOwnDevice(nUsbType, m_szDevicePath, USB_PATH_SIZE);

  if (nUsbType == USB_TYPE_PRINTER_CLASS) {
    const HANDLE hRead = OpenDevicePath(m_szDevicePath);
    if (hRead == INVALID_HANDLE_VALUE) {
      // The read error that brought us here says more ("not connected") than
      // the open's "not found": keep it.
      if (m_dwDeviceError == 0) m_dwDeviceError = GetLastError();
      TRACE("ReopenCom - CreateFile", " h = INVALID_HANDLE_VALUE");
    }
    // Only this thread reads through the read handle, between reads.
    const HANDLE hOldRead = m_hReadPort.exchange(hRead);
    if (hOldRead != NULL && hOldRead != INVALID_HANDLE_VALUE) CloseHandle(hOldRead);
  } else {
    // Only a printer-class session reads through a stored handle; this one
    // would have no owner.
    const HANDLE hProbe = OpenDevicePath(m_szDevicePath);
    TRACE("usbInitPipe", "IDNATIVETYPE");
    if (hProbe != INVALID_HANDLE_VALUE) CloseHandle(hProbe);
  }

  const HANDLE hWrite = OpenDevicePath(m_szDevicePath);
  if (hWrite != INVALID_HANDLE_VALUE) {
    PurgeComm(hWrite, PURGE_TXCLEAR);
    PurgeComm(hWrite, PURGE_RXCLEAR);
  }
  // A write still blocked on the old handle is ended; nothing waits for it.
  m_Requests.ReplacePort(&m_hWritePort, hWrite);
  if (hWrite != INVALID_HANDLE_VALUE) m_bHandlesValid = 1;

  if (m_bHandlesValid) {
    TRACE("ReopenCom", "Handles Valid");
  } else {
    TRACE("ReopenCom", "Handles Invalid");
  }
  return m_bHandlesValid;
}
