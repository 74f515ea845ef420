// The printer class requests go through the session's stored write handle,
// as a write does: the receiver's reopen keeps it current, so a request
// after the printer came back reaches the new handle. A native-type session
// sends nothing: its driver knows neither request.
#include "jni/ClassRequests.h"

#include <string.h>

#include "usbcomm/Requests.h"
#include "usbcomm/UsbComm.h"

namespace {

// The largest device id asked for: longer requests make some printers fail
// the transfer (the length goes into the USB setup packet as it is).
const DWORD kMaxDeviceId = 4094;

bool IsPrinterClass(CUsbComm &comm) {
  return comm.HasSession() || comm.m_nUsbType == USB_TYPE_PRINTER_CLASS;
}

// One printer class request; FALSE with the last error set. While the
// receiver cannot reopen a printer that went away the stored handle is
// invalid: the error is then why, as for a write.
BOOL ClassRequest(CUsbComm &comm, DWORD dwCode, void *pOut, DWORD nOut, DWORD *pnReturned) {
  *pnReturned = 0;
  if (!IsPrinterClass(comm)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  CRequest request(comm.m_Requests, nullptr, RequestKind::Control, &comm.m_hWritePort);
  if (request.Control(dwCode, nullptr, 0, pOut, nOut, pnReturned)) {
    if (*pnReturned > nOut) *pnReturned = nOut;
    return TRUE;
  }
  const DWORD dwDeviceError = comm.m_dwDeviceError;
  if (request.Handle() == INVALID_HANDLE_VALUE && dwDeviceError != 0 && comm.HasSession()) {
    SetLastError(dwDeviceError);
  }
  return FALSE;
}

}  // namespace

int CopyDeviceIdText(const BYTE *pRaw, size_t nReturned, BYTE *pOut, size_t nOut) {
  if (pRaw == nullptr || nReturned < 2) return -1;
  const size_t nPrefix = (size_t)pRaw[0] << 8 | pRaw[1];
  const size_t nEnd = nPrefix < 2 || nPrefix > nReturned ? nReturned : nPrefix;
  const BYTE *pText = pRaw + 2;
  const void *pNul = memchr(pText, 0, nEnd - 2);
  size_t nText = pNul ? (size_t)((const BYTE *)pNul - pText) : nEnd - 2;
  if (pOut == nullptr) nOut = 0;
  if (nText > nOut) nText = nOut;
  if (nText != 0) memcpy(pOut, pText, nText);
  return (int)nText;
}

jint PortStatus(CUsbComm &comm) {
  // The driver's documentation asks for a DWORD; the printer answers one byte.
  BYTE abStatus[4] = {0, 0, 0, 0};
  DWORD nReturned;
  if (!ClassRequest(comm, IOCTL_USBPRINT_GET_LPT_STATUS, abStatus, sizeof abStatus, &nReturned)) {
    return -1;
  }
  if (nReturned == 0) {
    // No byte is no answer, not a status of 0.
    SetLastError(ERROR_INVALID_DATA);
    return -1;
  }
  return abStatus[0];
}

jint DeviceId(JNIEnv *env, CUsbComm &comm, jbyteArray data) {
  if (!data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  BYTE abRaw[kMaxDeviceId];
  DWORD nReturned;
  if (!ClassRequest(comm, IOCTL_USBPRINT_GET_1284_ID, abRaw, sizeof abRaw, &nReturned)) return -1;
  BYTE abText[kMaxDeviceId];
  const jsize nData = env->GetArrayLength(data);
  size_t nRoom = nData < 0 ? 0 : (size_t)nData;
  if (nRoom > sizeof abText) nRoom = sizeof abText;
  const int nText = CopyDeviceIdText(abRaw, nReturned, abText, nRoom);
  if (nText < 0) {
    SetLastError(ERROR_INVALID_DATA);
    return -1;
  }
  if (nText > 0) env->SetByteArrayRegion(data, 0, (jsize)nText, (const jbyte *)abText);
  return (jint)nText;
}
