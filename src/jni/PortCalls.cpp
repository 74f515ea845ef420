// The natives' work on one printer's session.
//
// No call raises a Java exception or lets a C++ exception out: every
// outcome is the return value. After a JNI call that failed (and so left an
// exception pending) no further JNI call is made.
#include "jni/PortCalls.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>

#include "jni/JavaInterrupt.h"
#include "jni/JniText.h"
#include "jni/WriteBlock.h"
#include "trace/Trace.h"
#include "usbcomm/Requests.h"
#include "usbcomm/SrwLock.h"
#include "usbcomm/TextBuffer.h"
#include "usbcomm/UsbComm.h"

namespace {

// Size of the read and write summary texts (as g_szTraceLine).
const size_t kSummarySize = sizeof g_szTraceLine;
// Arrays up to this length are read into and written from a buffer on the
// stack: no allocation per call.
const jsize kStackBufferSize = 4096;

// Java keeps handles in int fields. Sign extension keeps -1 as
// INVALID_HANDLE_VALUE where a handle is wider than 32 bits.
HANDLE HandleFromJava(jint nHandle) { return (HANDLE)(intptr_t)nHandle; }
jint HandleToJava(HANDLE hHandle) { return (jint)(intptr_t)hHandle; }

struct CFreeDeleter {
  void operator()(void *p) const { free(p); }
};

// A running printer-class session governs the read, close and line-control
// paths, whatever a later detection found.
bool IsPrinterClass(CUsbComm &comm) {
  return comm.HasSession() || comm.m_nUsbType == USB_TYPE_PRINTER_CLASS;
}

// Opens from several Java threads at once take turns for the detection and
// the path, which they build in g_szDeviceName; the open itself, which may
// wait for a session's stop, comes after.
SRWLOCK g_InitLock = SRWLOCK_INIT;

}  // namespace

jint InitPipe(JNIEnv *env, CUsbComm &comm, jobject port, jint access) {
  TRACE("usbInitPipe", "******Starting******");

  // Any other access value names no pipe and no field: a lookup under an
  // empty name would fail and leave an exception pending, so refuse it here.
  const bool bRead = access == (jint)GENERIC_READ;
  if (!bRead && access != (jint)GENERIC_WRITE) return -1;
  const char *pszField = bRead ? "hReadPort" : "hWritePort";
  const char *pszPipe = bRead ? "PIPE00" : "PIPE01";
  if (!port) return -1;  // GetObjectClass would take the VM down

  jclass portClass = env->GetObjectClass(port);
  if (!portClass) return -1;
  jfieldID fieldId = env->GetFieldID(portClass, pszField, "I");
  if (!fieldId) return -1;

  char szPath[USB_PATH_SIZE];
  int nUsbType;
  if (comm.IsBound()) {
    // A session's printer and type are fixed: no search.
    nUsbType = comm.m_nUsbType;
    CopyText(szPath, sizeof szPath, comm.m_szBoundPath);
    if (!AppendPipeName(szPath, sizeof szPath, pszPipe)) return -1;
  } else {
    CExclusive turn(g_InitLock);
    char szDescription[USB_PATH_SIZE];
    nUsbType = DetectUsbType(szDescription, sizeof szDescription);
    // The detection of this call decides the type only while no
    // printer-class session runs: a session ends only through a close.
    if (comm.HasSession()) {
      if (nUsbType >= 0) nUsbType = USB_TYPE_PRINTER_CLASS;
    } else {
      comm.m_nUsbType = nUsbType;
    }
    if (nUsbType < 0) return -1;

    // Failing, the search leaves why the printer the table accepts did not
    // open, if one is there.
    if (!comm.LocateDevice(nUsbType, g_szDeviceName, sizeof g_szDeviceName)) return -1;
    TRACE("usbInitPipe", "******Starting******");
    // Discovery keeps paths short enough for the suffix; refuse anything else.
    if (!AppendPipeName(g_szDeviceName, sizeof g_szDeviceName, pszPipe)) return -1;
    CopyText(szPath, sizeof szPath, g_szDeviceName);
  }

  HANDLE hPipe;
  if (bRead && (nUsbType == USB_TYPE_PRINTER_CLASS || comm.m_hReadPort != nullptr)) {
    // A stored read handle is handed out again; a printer-class open starts
    // the session.
    hPipe = comm.OpenPCLSReadPipe(szPath);
  } else if (bRead) {
    hPipe = OpenDevicePath(szPath);
    TRACE("usbInitPipe", "IDNATIVETYPE");
  } else {
    hPipe = comm.m_hWritePort;
    if (hPipe == nullptr) {
      hPipe = comm.m_Requests.StoreIfEmpty(&comm.m_hWritePort, OpenDevicePath(szPath));
    }
  }

  if (hPipe == INVALID_HANDLE_VALUE) return -1;
  env->SetIntField(port, fieldId, HandleToJava(hPipe));
  return nUsbType;
}

jint ReadInputPipe(JNIEnv *env, CUsbComm &comm, jint handle, jbyteArray data) {
  if (!data) return -1;
  const jsize nData = env->GetArrayLength(data);
  if (nData < 0) return -1;
  BYTE abStack[kStackBufferSize];
  std::unique_ptr<BYTE, CFreeDeleter> pHeap;
  BYTE *pBuffer = abStack;
  if (nData > kStackBufferSize) {
    pHeap.reset((BYTE *)malloc((size_t)nData));
    if (!pHeap) return -1;
    pBuffer = pHeap.get();
  }
  // Only so that the summary shows 0 rather than stale memory when nothing
  // was read.
  pBuffer[0] = 0;
  TRACE_FMT("usbReadInputPipe", "Entering usbReadInputPipe, nData=%d", (int)nData);

  BOOL bResult;
  DWORD nCount = 0;
  if (IsPrinterClass(comm)) {
    bResult = comm.ReadPCLS(pBuffer, (DWORD)nData, &nCount);
  } else {
    TRACE("usbReadInputPipe", "Entering ReadFile (Nat)");
    {
      // A close or purge of this handle ends the read (ERROR_OPERATION_ABORTED).
      CRequest read(comm.m_Requests, HandleFromJava(handle), RequestKind::Read);
      bResult = read.Read(pBuffer, (DWORD)nData, &nCount);
    }
    TRACE("usbReadInputPipe", "Left ReadFile (Nat)");
  }
  if (nCount > (DWORD)nData) nCount = (DWORD)nData;

  if (TraceListened()) {
    char szSummary[kSummarySize];
    snprintf(szSummary, sizeof szSummary,
             "READ:  nHandle=%p, nData=%i, bData[0]=%x nCount=%d bResult=%d",
             (void *)HandleFromJava(handle), (int)nData, (unsigned)(int)(signed char)pBuffer[0],
             (int)nCount, (int)bResult);
    TRACE("usbReadInputPipe", szSummary);
  }

  if (bResult && nCount != 0) {
    TRACE("usbReadInputPipe", "Case 1");
    env->SetByteArrayRegion(data, 0, (jsize)nCount, (const jbyte *)pBuffer);
  } else {
    TRACE("usbReadInputPipe", "Case 2");
  }
  pHeap.reset();
  TRACE("usbReadInputPipe", "Leaving usbReadInputPipe");
  return bResult ? (jint)nCount : -1;
}

namespace {

// Writes nData bytes of data from nOffset through the stored write handle
// (handle is shown in the trace only). Returns 0 when the request succeeded,
// else its error, set as the last error too; *pnWritten what the printer
// took either way.
DWORD WriteRegion(JNIEnv *env, CUsbComm &comm, jint handle, jbyteArray data, jsize nOffset,
                  jsize nData, const CWaitLimit *pLimit, DWORD *pnWritten) {
  *pnWritten = 0;
  // The bytes are copied out (the write never changes them, so nothing is
  // copied back): into the stack, or for larger arrays into a kept block.
  BYTE abStack[kStackBufferSize];
  const bool bLarge = nData > kStackBufferSize;
  CWriteBlock block(bLarge ? (size_t)nData : 0);
  BYTE *const pBytes = bLarge ? block.Bytes() : abStack;
  if (!pBytes) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  env->GetByteArrayRegion(data, nOffset, nData, (jbyte *)pBytes);
  TRACE("usbWriteOutputPipe", "Entering Writefile");

  BOOL bResult;
  DWORD nWritten = 0;
  DWORD dwError;
  {
    // No lock across the write: a printer that takes nothing blocks only
    // this call (and a close of its handle, which ends it).
    CRequest use(comm.m_Requests, nullptr, RequestKind::Write, &comm.m_hWritePort);
    bResult = use.Write(pBytes, (DWORD)nData, &nWritten, pLimit);
    dwError = GetLastError();
    // While the receiver cannot reopen a printer that went away the write
    // handle is invalid: report why, as a read does.
    const DWORD dwDeviceError = comm.m_dwDeviceError;
    if (!bResult && use.Handle() == INVALID_HANDLE_VALUE && dwDeviceError != 0 &&
        comm.HasSession()) {
      dwError = dwDeviceError;
      SetLastError(dwError);
    }
  }

  if (TraceListened()) {
    char szSummary[kSummarySize];
    snprintf(szSummary, sizeof szSummary,
             "WRITE: nHandle = %i, outputData = %i, nData = %i, nWritten = %ld", (int)handle,
             (int)(intptr_t)pBytes, (int)nData, (long)nWritten);
    if (nData < 32) DumpHex("WRITE", pBytes, (int)nData, 12);
    TRACE("usbWriteOutputPipe", szSummary);
  }
  TRACE("usbWriteOutputPipe", "Left Writefile");
  block.Release();
  TRACE("usbWriteOutputPipe", "After ReleaseByteArrayElements");

  *pnWritten = nWritten < (DWORD)nData ? nWritten : (DWORD)nData;
  if (bResult) return 0;
  // The release may have touched the thread's last-error value.
  SetLastError(dwError);
  return dwError;
}

}  // namespace

jint WriteOutputPipe(JNIEnv *env, CUsbComm &comm, jint handle, jbyteArray data) {
  if (!data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return (jint)ERROR_INVALID_PARAMETER;
  }
  DWORD nWritten;
  return (jint)WriteRegion(env, comm, handle, data, 0, env->GetArrayLength(data), nullptr,
                           &nWritten);
}

jint WriteTimed(JNIEnv *env, CUsbComm &comm, jint handle, jbyteArray data, jint offset, jint length,
                jint timeoutMs) {
  if (!data || offset < 0 || length < 0 || timeoutMs < 0 ||
      length > env->GetArrayLength(data) - offset) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  SetLastError(ERROR_SUCCESS);
  if (length == 0) return 0;
  // Both types alike: the driver's own write time-outs (none unless set)
  // may end the write sooner with a short count, which is returned as it is.
  const CWaitLimit limit = InterruptibleLimit(env, (DWORD)timeoutMs);
  DWORD nWritten;
  const DWORD dwError = WriteRegion(env, comm, handle, data, offset, length, &limit, &nWritten);
  SetLastError(dwError);
  // A time-out is no failure, even when the printer took nothing.
  const bool bCount = nWritten > 0 || dwError == ERROR_SUCCESS || dwError == WAIT_TIMEOUT;
  return bCount ? (jint)nWritten : -1;
}

jint ClosePipe(CUsbComm &comm, jint handle) {
  TRACE("usbClosePipe", "Entry");
  HANDLE hPipe = HandleFromJava(handle);
  if (IsPrinterClass(comm)) return comm.StopPCLSSession(hPipe);

  TRACE("usbClosePipe", "?????");
  // Ends the reads and writes in flight on the handle first, exactly those.
  if (comm.m_Requests.ClosePort(hPipe, &comm.m_hWritePort)) return 0;
  return (jint)GetLastError();
}

namespace {

BOOL QueryTimeouts(CUsbComm &comm, HANDLE hPort, COMMTIMEOUTS *pTimeouts) {
  CRequest query(comm.m_Requests, hPort, RequestKind::Control);
  DWORD nReturned = 0;
  return query.Control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, pTimeouts, sizeof *pTimeouts,
                       &nReturned);
}

}  // namespace

jint GetCommTimeout(CUsbComm &comm, jint handle) {
  if (IsPrinterClass(comm)) return 1;
  COMMTIMEOUTS timeouts;
  memset(&timeouts, 0, sizeof timeouts);
  if (!QueryTimeouts(comm, HandleFromJava(handle), &timeouts)) return (jint)GetLastError();
  return (jint)timeouts.ReadTotalTimeoutConstant;
}

namespace {

// A field the driver reports as this value is not to be overwritten.
const DWORD kProtectedTimeout = 0xFFFFFFFE;

void MergeTimeout(DWORD *pdwField, jint nValue) {
  if (*pdwField != kProtectedTimeout) *pdwField = (DWORD)nValue;
}

}  // namespace

jint SetCommTimeout(CUsbComm &comm, jint handle, jint readInterval, jint readTotalMultiplier,
                    jint readTotalConstant, jint writeTotalMultiplier, jint writeTotalConstant) {
  if (IsPrinterClass(comm)) return 1;
  HANDLE hPort = HandleFromJava(handle);
  COMMTIMEOUTS timeouts;
  memset(&timeouts, 0, sizeof timeouts);
  // A failed query leaves the record undefined: start from zeros, so that
  // every field takes its argument.
  if (!QueryTimeouts(comm, hPort, &timeouts)) memset(&timeouts, 0, sizeof timeouts);
  MergeTimeout(&timeouts.ReadIntervalTimeout, readInterval);
  MergeTimeout(&timeouts.ReadTotalTimeoutMultiplier, readTotalMultiplier);
  MergeTimeout(&timeouts.ReadTotalTimeoutConstant, readTotalConstant);
  MergeTimeout(&timeouts.WriteTotalTimeoutMultiplier, writeTotalMultiplier);
  MergeTimeout(&timeouts.WriteTotalTimeoutConstant, writeTotalConstant);
  // Success leaves the last error alone: clear it so that the result is 0.
  SetLastError(0);
  CRequest set(comm.m_Requests, hPort, RequestKind::Control);
  DWORD nReturned = 0;
  set.Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0, &nReturned);
  return (jint)GetLastError();
}

jint PurgeRequest(CUsbComm &comm, jint handle) {
  if (IsPrinterClass(comm)) return 1;
  HANDLE hPort = HandleFromJava(handle);
  // The reads in flight end first, exactly those: the purge then clears what
  // they would have taken.
  if (!comm.m_Requests.EndReads(hPort)) return (jint)GetLastError();
  SetLastError(0);
  PurgeComm(hPort, PURGE_RXABORT | PURGE_RXCLEAR);
  return (jint)GetLastError();
}

jstring GetErrorString(JNIEnv *env, jint code) {
  char *pszMessage = nullptr;
  const DWORD nLength = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, (DWORD)code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&pszMessage, 0,
      nullptr);
  if (nLength != 0 && pszMessage) {
    // LocalFree also when the string cannot be made.
    struct CMessageHolder {
      char *psz;
      ~CMessageHolder() { LocalFree(psz); }
    } holder{pszMessage};
    return NewStringFromAnsi(env, pszMessage, (int)nLength);
  }
  char szFallback[USB_PATH_SIZE];
  snprintf(szFallback, sizeof szFallback, "FormatMessage failed: %d\n", (int)nLength);
  return env->NewStringUTF(szFallback);
}
