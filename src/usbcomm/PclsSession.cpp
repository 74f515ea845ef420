// Printer-class session: placeholder until the receiver and ring buffer land.
#include "usbcomm/UsbComm.h"

HANDLE CUsbComm::StartPCLSSession() { return INVALID_HANDLE_VALUE; }

BOOL CUsbComm::ReadPCLS(BYTE *, DWORD, DWORD *pnCount) {
  *pnCount = 0;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

int CUsbComm::StopPCLSSession(HANDLE) { return 1; }

BOOL CUsbComm::GetPCLSData(BYTE *, DWORD, DWORD *, DWORD) { return FALSE; }

DWORD CUsbComm::BytesAvailable() { return 0; }

void CUsbComm::LockWritePort() {}

void CUsbComm::UnlockWritePort() {}
