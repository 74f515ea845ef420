// The file calls on the printers of any provider (Device.h): CreateFileA,
// ReadFile, WriteFile, GetOverlappedResult, CancelIo, CancelIoEx,
// CancelSynchronousIo, DeviceIoControl and PurgeComm.
//
// A read is queued on its device and completed under the kernel lock by
// whatever ends it (bytes, a driver's time-out on the kernel's timer, a
// scripted result, a cancel, a purge, the close of the last handle, an
// unplug). An overlapped read returns ERROR_IO_PENDING while queued; a
// synchronous one blocks its caller on the kernel condition until it is
// completed. A write the device does not take at once is queued likewise.
#include <algorithm>
#include <cstring>
#include <map>

#include "Device.h"

namespace emu {
namespace {

// Far enough to count as "never" without overflowing the clock.
constexpr unsigned long long kMaxTimeoutMs = 1ull << 40;

// The synchronous request each thread is in, for CancelSynchronousIo.
std::map<DWORD, CSyncRequest *> &SyncRequests() {
  static auto *s_pRequests = new std::map<DWORD, CSyncRequest *>;
  return *s_pRequests;
}

// One request on a synchronous file object: the I/O manager runs one at a
// time per file object, so a request waits for its turn (and CancelSynchronousIo
// may end that wait). Nothing happens for an overlapped file object. Lives
// under the kernel lock, inside the call that made it.
class CSyncTurn {
 public:
  CSyncTurn(Guard &lock, CFile &file) : m_file(file), m_bSync(!file.m_bOverlapped) {
    if (!m_bSync) return;
    m_dwTid = CurrentThreadId();
    SyncRequests()[m_dwTid] = &m_request;
    WaitUntil(lock, Deadline::After(INFINITE),
              [&] { return m_request.m_bCancelled || m_file.m_dwIoTid == 0; });
    if (!m_request.m_bCancelled) m_file.m_dwIoTid = m_dwTid;
  }
  ~CSyncTurn() {
    if (!m_bSync) return;
    SyncRequests().erase(m_dwTid);
    if (m_file.m_dwIoTid == m_dwTid) m_file.m_dwIoTid = 0;
    NotifyAll();
  }
  CSyncTurn(const CSyncTurn &) = delete;
  CSyncTurn &operator=(const CSyncTurn &) = delete;
  // Cancelled before its turn came: the call fails with ERROR_OPERATION_ABORTED.
  bool Cancelled() const { return m_request.m_bCancelled; }
  // While the request blocks, CancelSynchronousIo calls fnCancel.
  void SetCancel(std::function<void()> fnCancel) {
    if (m_bSync) m_request.m_fnCancel = std::move(fnCancel);
  }

 private:
  CFile &m_file;
  const bool m_bSync;
  DWORD m_dwTid = 0;
  CSyncRequest m_request;
};

std::shared_ptr<CFile> LookupFile(HANDLE h) {
  ObjectPtr obj = LookupHandle(h);
  if (!obj || obj->type != ObjType::File) return nullptr;
  return std::static_pointer_cast<CFile>(obj);
}

// The event of an OVERLAPPED must be a valid event handle, as NtReadFile
// demands; *pEvent stays null when there is none.
bool LookupOverlappedEvent(LPOVERLAPPED pOv, ObjectPtr *pEvent) {
  if (pOv == nullptr || pOv->hEvent == nullptr) return true;
  *pEvent = LookupHandle(pOv->hEvent);
  return *pEvent && (*pEvent)->type == ObjType::Event;
}

// Start of any I/O: the OVERLAPPED shows it in flight, its event and the
// file are reset.
void BeginIo(CFile &file, LPOVERLAPPED pOv, const ObjectPtr &pEvent) {
  if (pOv != nullptr) {
    pOv->Internal = STATUS_PENDING;
    pOv->InternalHigh = 0;
  }
  if (pEvent) ResetEventObject(pEvent);
  file.m_bSignalled = false;
}

// An I/O that succeeds at once: the OVERLAPPED, its event and the file show
// the completion, as for a later one.
BOOL SucceedNow(CFile &file, LPOVERLAPPED pOv, const ObjectPtr &pEvent, DWORD nBytes,
                LPDWORD pnBytes) {
  if (pOv != nullptr) {
    pOv->InternalHigh = nBytes;
    pOv->Internal = ERROR_SUCCESS;
  }
  if (pEvent) SignalEventObject(pEvent);
  file.m_bSignalled = true;
  if (pnBytes != nullptr) *pnBytes = nBytes;
  NotifyAll();
  return TRUE;
}

// An I/O that fails at once. Windows leaves the event alone for a request
// failed before it could pend; the OVERLAPPED gets the error so that a
// later GetOverlappedResult reports it instead of waiting for ever.
BOOL FailNow(LPOVERLAPPED pOv, DWORD dwError) {
  if (pOv != nullptr) pOv->Internal = dwError;
  return Fail(FALSE, dwError);
}

// A serial driver's total time-out, multiplier x bytes + constant ms from
// now: max() when there is none (0, or too far to count as a limit).
Clock::time_point TotalDeadline(DWORD dwMultiplier, DWORD nBytes, DWORD dwConstant) {
  const unsigned long long nTotalMs =
      static_cast<unsigned long long>(dwMultiplier) * nBytes + dwConstant;
  if (nTotalMs == 0 || nTotalMs >= kMaxTimeoutMs) return Clock::time_point::max();
  return Clock::now() + TimerSpan(nTotalMs);
}

// Sets a read's time-outs as a native-class driver applies its
// COMMTIMEOUTS, after the rules of a serial driver, to synchronous and
// overlapped reads alike. True when the read is to end at once with what
// is there, even nothing. The printer class waits for the first bytes.
bool PlanRead(const CDevice &dev, CRead &read) {
  if (!dev.IsNative()) return false;
  const COMMTIMEOUTS &to = dev.m_timeouts;
  if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
      to.ReadTotalTimeoutConstant == 0) {
    return true;
  }
  if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == MAXDWORD &&
      to.ReadTotalTimeoutConstant != 0 && to.ReadTotalTimeoutConstant != MAXDWORD) {
    // What is there at once, else the first bytes within the constant.
    read.m_tpTotal = Clock::now() + TimerSpan(to.ReadTotalTimeoutConstant);
    return false;
  }
  read.m_bTakeAny = false;
  read.m_tpTotal =
      TotalDeadline(to.ReadTotalTimeoutMultiplier, read.m_nWanted, to.ReadTotalTimeoutConstant);
  // MAXDWORD as an interval outside the two rules above means no interval.
  if (to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != MAXDWORD) {
    read.m_interval = TimerSpan(to.ReadIntervalTimeout);
  }
  return false;
}

bool HasTimeouts(const CRead &read) {
  return read.m_tpTotal != Clock::time_point::max() || read.m_interval != Clock::duration::zero();
}

BOOL ReadResult(const CRead &read, LPDWORD pnRead) {
  if (read.m_dwError != ERROR_SUCCESS) return Fail(FALSE, read.m_dwError);
  if (pnRead != nullptr) *pnRead = read.m_nGot;
  return TRUE;
}

// How long a write on a stalled device may pend: a native driver applies its
// write time-outs as a serial driver does; the printer class has none.
Clock::time_point WriteDeadline(const CDevice &dev, DWORD nBytes) {
  if (!dev.IsNative()) return Clock::time_point::max();
  const COMMTIMEOUTS &to = dev.m_timeouts;
  return TotalDeadline(to.WriteTotalTimeoutMultiplier, nBytes, to.WriteTotalTimeoutConstant);
}

const char *PipeSuffix(int nPipe) {
  switch (nPipe) {
    case SIM_PIPE_00:
      return "\\PIPE00";
    case SIM_PIPE_01:
      return "\\PIPE01";
    default:
      return "";
  }
}

// CancelIo and CancelIoEx: ends the requests in flight through hFile's file
// object that pred picks, whoever issued them. How many, or -1 (last error
// set) when the call fails.
template <class Pred>
long CancelOnFile(int nFn, HANDLE hFile, Pred pred) {
  if (InjectedFailure(nFn)) return -1;
  std::shared_ptr<CFile> pFile;
  Guard lock(KernelLock());
  pFile = LookupFile(hFile);
  if (!pFile) return Fail(-1L, ERROR_INVALID_HANDLE);
  return static_cast<long>(AbortRequests(
      *pFile->m_pDevice, ERROR_OPERATION_ABORTED,
      [&](const CRequest &request) { return request.m_pFile == pFile && pred(request); }));
}

}  // namespace

CSyncRequest *SyncRequestOf(DWORD dwTid) {
  auto &requests = SyncRequests();
  auto it = requests.find(dwTid);
  return it == requests.end() ? nullptr : it->second;
}

void CFile::WaitBeforeLastClose(Guard &lock) {
  // The close of a synchronous file object waits for the request in
  // progress; it does not end it.
  if (!m_bOverlapped) WaitUntil(lock, Deadline::After(INFINITE), [&] { return m_dwIoTid == 0; });
}

void CFile::OnLastHandleClosed() {
  // Closing the last handle cancels what is still in flight on the file.
  m_bClosed = true;
  AbortRequests(*m_pDevice, ERROR_OPERATION_ABORTED,
                [this](const CRequest &request) { return request.m_pFile.get() == this; });
  m_pDevice->FileClosed(*this);
}

std::string CFile::Describe() const {
  std::string s = "file " + m_pDevice->m_sPath + PipeSuffix(m_nPipe);
  s += m_bOverlapped ? " (overlapped" : " (synchronous";
  s += IsConnected() ? ")" : ", device removed)";
  return s;
}

}  // namespace emu

using namespace emu;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                          DWORD dwFlagsAndAttributes, HANDLE) {
  if (InjectedFailure(SIM_FN_CreateFileA)) return INVALID_HANDLE_VALUE;
  if (lpFileName == nullptr) return Fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
  const std::string sName(lpFileName);
  std::shared_ptr<CFile> pFile;
  DevicePtr pDev;
  Guard lock(KernelLock());
  // The interface path, bare or followed by "\PIPE00" or "\PIPE01".
  int nPipe = SIM_PIPE_BARE;
  DWORD dwError = ERROR_FILE_NOT_FOUND;
  pDev = ActiveProvider().Open(lock, sName, &nPipe, &dwError);
  if (!pDev) return Fail(INVALID_HANDLE_VALUE, dwError);
  pFile = std::make_shared<CFile>(pDev, nPipe, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
  pDev->FileOpened(*pFile);
  HANDLE h = InsertHandle(pFile);
  if (h == nullptr) {
    pDev->FileClosed(*pFile);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (InjectedFailure(SIM_FN_ReadFile)) return FALSE;
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  // Declared before the guard: the last references go after unlocking.
  ReadPtr pRead;
  ObjectPtr pEvent;
  std::shared_ptr<CFile> pFile;
  Guard lock(KernelLock());
  pFile = LookupFile(hFile);
  if (!pFile) return Fail(FALSE, ERROR_INVALID_HANDLE);
  if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) return Fail(FALSE, ERROR_NOACCESS);
  if (!LookupOverlappedEvent(lpOverlapped, &pEvent)) return Fail(FALSE, ERROR_INVALID_HANDLE);
  CSyncTurn turn(lock, *pFile);
  if (turn.Cancelled()) return FailNow(lpOverlapped, ERROR_OPERATION_ABORTED);
  if (pFile->m_bClosed) return FailNow(lpOverlapped, ERROR_INVALID_HANDLE);
  BeginIo(*pFile, lpOverlapped, pEvent);
  CDevice &dev = *pFile->m_pDevice;
  if (!pFile->IsConnected()) return FailNow(lpOverlapped, pFile->m_pDevice->RemovalError());

  CScript script;
  if (dev.TakeScript(pFile->m_nPipe, ScriptKind::ReadError, ScriptKind::ZeroRead, &script)) {
    if (script.m_kind == ScriptKind::ReadError) return FailNow(lpOverlapped, script.m_dwValue);
    return SucceedNow(*pFile, lpOverlapped, pEvent, 0, lpNumberOfBytesRead);
  }
  if (nNumberOfBytesToRead == 0) {
    return SucceedNow(*pFile, lpOverlapped, pEvent, 0, lpNumberOfBytesRead);
  }

  // Without an OVERLAPPED even an overlapped file is read synchronously: the
  // Win32 layer waits for the pending request.
  const bool bAsync = pFile->m_bOverlapped && lpOverlapped != nullptr;
  pRead = std::make_shared<CRead>();
  pRead->m_pFile = pFile;
  pRead->m_dwTid = CurrentThreadId();
  pRead->m_pBuffer = static_cast<BYTE *>(lpBuffer);
  pRead->m_nWanted = nNumberOfBytesToRead;
  pRead->m_pOverlapped = lpOverlapped;
  pRead->m_pEvent = pEvent;
  pRead->m_tpLastByte = Clock::now();
  const bool bReturnAtOnce = PlanRead(dev, *pRead);
  if (HasTimeouts(*pRead) && !StartTimer()) return FailNow(lpOverlapped, ERROR_NO_SYSTEM_RESOURCES);
  dev.m_reads.push_back(pRead);
  DeliverToHost(dev);
  if (!pRead->m_bDone) {
    if (bReturnAtOnce) {
      CompleteRead(dev, pRead, ERROR_SUCCESS);
    } else {
      ArmReadTimer(*pRead);
      dev.RequestsChanged();
    }
  }

  if (!pRead->m_bDone) {
    if (bAsync) return Fail(FALSE, ERROR_IO_PENDING);
    turn.SetCancel([&] {
      if (!pRead->m_bDone) CompleteRead(dev, pRead, ERROR_OPERATION_ABORTED);
    });
    WaitUntil(lock, Deadline::After(INFINITE), [&] { return pRead->m_bDone; });
  }
  return ReadResult(*pRead, lpNumberOfBytesRead);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (InjectedFailure(SIM_FN_WriteFile)) return FALSE;
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  WritePtr pWrite;
  ObjectPtr pEvent;
  std::shared_ptr<CFile> pFile;
  Guard lock(KernelLock());
  pFile = LookupFile(hFile);
  if (!pFile) return Fail(FALSE, ERROR_INVALID_HANDLE);
  if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) return Fail(FALSE, ERROR_NOACCESS);
  if (!LookupOverlappedEvent(lpOverlapped, &pEvent)) return Fail(FALSE, ERROR_INVALID_HANDLE);
  CSyncTurn turn(lock, *pFile);
  if (turn.Cancelled()) return FailNow(lpOverlapped, ERROR_OPERATION_ABORTED);
  if (pFile->m_bClosed) return FailNow(lpOverlapped, ERROR_INVALID_HANDLE);
  BeginIo(*pFile, lpOverlapped, pEvent);
  CDevice &dev = *pFile->m_pDevice;
  if (!pFile->IsConnected()) return FailNow(lpOverlapped, pFile->m_pDevice->RemovalError());

  DWORD nWritten = nNumberOfBytesToWrite;
  CScript script;
  if (dev.TakeScript(pFile->m_nPipe, ScriptKind::WriteError, ScriptKind::ShortWrite, &script)) {
    if (script.m_kind == ScriptKind::WriteError) return FailNow(lpOverlapped, script.m_dwValue);
    if (script.m_dwValue < nWritten) nWritten = script.m_dwValue;
  }
  const Clock::time_point tpDue = WriteDeadline(dev, nWritten);
  if (tpDue != Clock::time_point::max() && !StartTimer()) {
    return FailNow(lpOverlapped, ERROR_NO_SYSTEM_RESOURCES);
  }
  pWrite = std::make_shared<CWrite>();
  pWrite->m_pFile = pFile;
  pWrite->m_dwTid = CurrentThreadId();
  pWrite->m_pData = static_cast<const BYTE *>(lpBuffer);
  pWrite->m_nWanted = nWritten;
  pWrite->m_pOverlapped = lpOverlapped;
  pWrite->m_pEvent = pEvent;
  if (dev.StartWrite(pWrite)) {
    return SucceedNow(*pFile, lpOverlapped, pEvent, pWrite->m_nTaken, lpNumberOfBytesWritten);
  }

  // The device has not taken it yet: the write is queued on the device.
  if (tpDue != Clock::time_point::max()) ArmTimer(*pWrite, tpDue);
  if (pFile->m_bOverlapped && lpOverlapped != nullptr) return Fail(FALSE, ERROR_IO_PENDING);

  turn.SetCancel([&] {
    if (!pWrite->m_bDone) CompleteWrite(dev, pWrite, ERROR_OPERATION_ABORTED);
  });
  WaitUntil(lock, Deadline::After(INFINITE), [&] { return pWrite->m_bDone; });
  if (pWrite->m_dwError != ERROR_SUCCESS) return Fail(FALSE, pWrite->m_dwError);
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = pWrite->m_nTaken;
  return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  if (InjectedFailure(SIM_FN_GetOverlappedResult)) return FALSE;
  if (lpOverlapped == nullptr) return Fail(FALSE, ERROR_INVALID_PARAMETER);
  Guard lock(KernelLock());
  if (lpOverlapped->Internal == STATUS_PENDING) {
    if (!bWait) return Fail(FALSE, ERROR_IO_INCOMPLETE);
    // Like Windows, the file handle matters only to a wait without an event
    // (the wait is then on the file); a finished record is read as it is,
    // even after its handle was closed.
    if (lpOverlapped->hEvent == nullptr && !LookupFile(hFile)) {
      return Fail(FALSE, ERROR_INVALID_HANDLE);
    }
    // Windows waits on the event or the file; waiting for the completion
    // itself is the same unless someone else sets that event meanwhile.
    WaitUntil(lock, Deadline::After(INFINITE),
              [&] { return lpOverlapped->Internal != STATUS_PENDING; });
  }
  if (lpNumberOfBytesTransferred != nullptr) {
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  }
  if (lpOverlapped->Internal != ERROR_SUCCESS) {
    return Fail(FALSE, static_cast<DWORD>(lpOverlapped->Internal));
  }
  return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  const DWORD dwTid = CurrentThreadId();
  return CancelOnFile(SIM_FN_CancelIo, hFile,
                      [&](const CRequest &request) { return request.m_dwTid == dwTid; }) >= 0;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  const long nCancelled = CancelOnFile(SIM_FN_CancelIoEx, hFile, [&](const CRequest &request) {
    return lpOverlapped == nullptr || request.m_pOverlapped == lpOverlapped;
  });
  if (nCancelled < 0) return FALSE;
  return nCancelled > 0 ? TRUE : Fail(FALSE, ERROR_NOT_FOUND);
}

BOOL WINAPI CancelSynchronousIo(HANDLE hThread) {
  if (InjectedFailure(SIM_FN_CancelSynchronousIo)) return FALSE;
  Guard lock(KernelLock());
  const DWORD dwTid = ThreadIdOfHandle(hThread);
  if (dwTid == 0) return Fail(FALSE, ERROR_INVALID_HANDLE);
  CSyncRequest *pRequest = SyncRequestOf(dwTid);
  if (pRequest == nullptr || pRequest->m_bCancelled) return Fail(FALSE, ERROR_NOT_FOUND);
  pRequest->m_bCancelled = true;
  if (pRequest->m_fnCancel) pRequest->m_fnCancel();
  NotifyAll();
  return TRUE;
}

}  // extern "C"

namespace {

// The printer class requests: the device's answer, cut to the caller's
// buffer as the class request's transfer is (its length is the buffer's). The
// device id needs room for its length prefix, the status for its byte;
// ERROR_INSUFFICIENT_BUFFER otherwise, as the driver answers then.
BOOL PrinterClassControl(Guard &lock, CFile &file, DWORD dwCode, LPVOID lpOutBuffer, DWORD nOut,
                         LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped,
                         const ObjectPtr &pEvent) {
  DWORD nLeast;
  switch (dwCode) {
    case IOCTL_USBPRINT_GET_LPT_STATUS:
      nLeast = 1;
      break;
    case IOCTL_USBPRINT_GET_1284_ID:
      nLeast = 2;
      break;
    default:
      return FailNow(lpOverlapped, ERROR_INVALID_FUNCTION);
  }
  if (lpOutBuffer == nullptr || nOut < nLeast) {
    return FailNow(lpOverlapped, ERROR_INSUFFICIENT_BUFFER);
  }
  const DevicePtr pDevice = file.m_pDevice;
  std::vector<BYTE> answer;
  const DWORD dwError = pDevice->ClassRequest(lock, file.m_nPipe, dwCode, nOut, &answer);
  // The printer may have gone while the request was out.
  if (dwError == ERROR_SUCCESS && !file.IsConnected()) {
    return FailNow(lpOverlapped, pDevice->RemovalError());
  }
  if (dwError != ERROR_SUCCESS) return FailNow(lpOverlapped, dwError);
  const DWORD nCopy = static_cast<DWORD>(std::min<size_t>(answer.size(), nOut));
  if (nCopy != 0) memcpy(lpOutBuffer, answer.data(), nCopy);
  // The driver ends the id with a NUL when there is room for one.
  if (dwCode == IOCTL_USBPRINT_GET_1284_ID && nCopy < nOut) {
    static_cast<BYTE *>(lpOutBuffer)[nCopy] = 0;
  }
  return SucceedNow(file, lpOverlapped, pEvent, nCopy, lpBytesReturned);
}

}  // namespace

extern "C" {

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  if (InjectedFailure(SIM_FN_DeviceIoControl)) return FALSE;
  ObjectPtr pEvent;
  std::shared_ptr<CFile> pFile;
  Guard lock(KernelLock());
  pFile = LookupFile(hDevice);
  if (!pFile) return Fail(FALSE, ERROR_INVALID_HANDLE);
  if (!LookupOverlappedEvent(lpOverlapped, &pEvent)) return Fail(FALSE, ERROR_INVALID_HANDLE);
  CSyncTurn turn(lock, *pFile);
  if (turn.Cancelled()) return FailNow(lpOverlapped, ERROR_OPERATION_ABORTED);
  if (pFile->m_bClosed) return FailNow(lpOverlapped, ERROR_INVALID_HANDLE);
  BeginIo(*pFile, lpOverlapped, pEvent);
  CDevice &dev = *pFile->m_pDevice;
  if (!pFile->IsConnected()) return FailNow(lpOverlapped, pFile->m_pDevice->RemovalError());
  // The printer class driver knows no serial requests.
  if (!dev.IsNative()) {
    return PrinterClassControl(lock, *pFile, dwIoControlCode, lpOutBuffer, nOutBufferSize,
                               lpBytesReturned, lpOverlapped, pEvent);
  }

  DWORD nReturned = 0;
  switch (dwIoControlCode) {
    case IOCTL_SERIAL_GET_TIMEOUTS:
      if (lpOutBuffer == nullptr || nOutBufferSize < sizeof(COMMTIMEOUTS)) {
        return FailNow(lpOverlapped, ERROR_INSUFFICIENT_BUFFER);
      }
      memcpy(lpOutBuffer, &dev.m_timeouts, sizeof(COMMTIMEOUTS));
      nReturned = sizeof(COMMTIMEOUTS);
      break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
      if (lpInBuffer == nullptr || nInBufferSize < sizeof(COMMTIMEOUTS)) {
        return FailNow(lpOverlapped, ERROR_INSUFFICIENT_BUFFER);
      }
      memcpy(&dev.m_timeouts, lpInBuffer, sizeof(COMMTIMEOUTS));
      break;
    default:
      return FailNow(lpOverlapped, ERROR_INVALID_FUNCTION);
  }
  return SucceedNow(*pFile, lpOverlapped, pEvent, nReturned, lpBytesReturned);
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  if (InjectedFailure(SIM_FN_PurgeComm)) return FALSE;
  std::shared_ptr<CFile> pFile;
  Guard lock(KernelLock());
  pFile = LookupFile(hFile);
  if (!pFile) return Fail(FALSE, ERROR_INVALID_HANDLE);
  // The purge request waits for its turn on a synchronous file object like
  // any other request.
  CSyncTurn turn(lock, *pFile);
  if (turn.Cancelled()) return Fail(FALSE, ERROR_OPERATION_ABORTED);
  if (pFile->m_bClosed) return Fail(FALSE, ERROR_INVALID_HANDLE);
  CDevice &dev = *pFile->m_pDevice;
  if (!pFile->IsConnected()) return Fail(FALSE, pFile->m_pDevice->RemovalError());
  if (!dev.IsNative()) return Fail(FALSE, ERROR_INVALID_FUNCTION);
  constexpr DWORD kAllPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  if ((dwFlags & ~kAllPurgeFlags) != 0) return Fail(FALSE, ERROR_INVALID_PARAMETER);
  ++dev.m_nPurges;
  dev.m_dwLastPurgeFlags = dwFlags;
  if (dwFlags & PURGE_RXABORT) {
    AbortReads(dev, ERROR_OPERATION_ABORTED, [](const CRead &) { return true; });
  }
  if (dwFlags & PURGE_TXABORT) {
    AbortWrites(dev, ERROR_OPERATION_ABORTED, [](const CWrite &) { return true; });
  }
  if (dwFlags & PURGE_RXCLEAR) dev.m_toHost.clear();
  NotifyAll();
  return TRUE;
}

}  // extern "C"
