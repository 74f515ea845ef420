// Finding the printer among the device interfaces of one interface class, and
// telling which of the two classes it belongs to.
#include <stddef.h>
#include <string.h>

#include "trace/Trace.h"
#include "usbcomm/TextBuffer.h"
#include "usbcomm/UsbComm.h"

namespace {

// An enumeration error may repeat at every index (a broken class driver);
// give up after this many in a row rather than scan for ever.
const DWORD kMaxConsecutiveEnumErrors = 256;

const GUID *InterfaceClassOf(int nUsbType) {
  return nUsbType == USB_TYPE_PRINTER_CLASS ? &GUID_DEVINTERFACE_USBPRINT
                                            : &GUID_DEVINTERFACE_NATIVE_PRINTER;
}

bool IsOpen(HANDLE hFile) { return hFile != nullptr && hFile != INVALID_HANDLE_VALUE; }

}  // namespace

bool MatchesDevicePattern(const char *pszPath) {
  for (const char *const *ppszPattern = g_apszDevicePatterns; *ppszPattern; ++ppszPattern) {
    if (strstr(pszPath, *ppszPattern)) return true;
  }
  return false;
}

// Overlapped, so that every request on the handle can be named and ended on
// its own (see Requests.h).
HANDLE OpenDevicePath(const char *pszPath) {
  return CreateFileA(pszPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

HANDLE CUsbComm::OpenUsbDevice(const GUID *pInterfaceClass, char *outNameBuf, DWORD nSize) {
  HDEVINFO hDevInfo = SetupDiGetClassDevsA(pInterfaceClass, nullptr, nullptr,
                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hDevInfo == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;

  HANDLE hResult = nullptr;
  DWORD nConsecutiveErrors = 0;
  DWORD dwMatchOpenError = 0;
  for (DWORD nIndex = 0;; ++nIndex) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(hDevInfo, nullptr, pInterfaceClass, nIndex, &interfaceData)) {
      DWORD dwError = GetLastError();
      if (dwError == (DWORD)ERROR_NO_MORE_ITEMS) {
        TRACE("OpenUsbDevice", "ERROR_NO_MORE_ITEMS");
        break;
      }
      TRACE_FMT("OpenUsbDevice", "Error = %d", (int)dwError);
      if (++nConsecutiveErrors >= kMaxConsecutiveEnumErrors) break;
      continue;
    }
    nConsecutiveErrors = 0;

    HANDLE hInterface =
        OpenInterface(hDevInfo, &interfaceData, outNameBuf, nSize, &dwMatchOpenError);
    if (hInterface == INVALID_HANDLE_VALUE) {
      hResult = INVALID_HANDLE_VALUE;
      continue;
    }
    TRACE("CUsbComm::OpenUsbDevice outNameBuf=", outNameBuf);
    if (MatchesDevicePattern(outNameBuf)) {
      TRACE("OpenUsbDevice", "Printer found.");
      SetupDiDestroyDeviceInfoList(hDevInfo);
      return hInterface;
    }
    CloseHandle(hInterface);
    outNameBuf[0] = '\0';
    hResult = nullptr;
  }
  SetupDiDestroyDeviceInfoList(hDevInfo);
  m_dwMatchOpenError = dwMatchOpenError;
  if (dwMatchOpenError != 0) SetLastError(dwMatchOpenError);
  return hResult;
}

HANDLE CUsbComm::OpenInterface(HDEVINFO hDevInfo, PSP_DEVICE_INTERFACE_DATA pInterfaceData,
                               char *pszBuffer, DWORD nSize, DWORD *pdwMatchOpenError) {
  DWORD nRequired = 0;
  SetupDiGetDeviceInterfaceDetailA(hDevInfo, pInterfaceData, nullptr, 0, &nRequired, nullptr);
  // A block too small for the record's fixed part could not even take cbSize.
  if (nRequired < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return INVALID_HANDLE_VALUE;

  HGLOBAL hBlock = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, nRequired);
  if (!hBlock) return INVALID_HANDLE_VALUE;
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail =
      (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)GlobalLock(hBlock);
  if (!pDetail) {
    GlobalFree(hBlock);
    return INVALID_HANDLE_VALUE;
  }

  HANDLE hInterface = INVALID_HANDLE_VALUE;
  pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (SetupDiGetDeviceInterfaceDetailA(hDevInfo, pInterfaceData, pDetail, nRequired, &nRequired,
                                       nullptr)) {
    // The path must leave room for the pipe suffix that every caller
    // appends; a longer one is passed over like an interface that does not
    // open. The terminator is looked for only inside the block.
    const size_t nPathRoom = nRequired - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const size_t nPath = strnlen(pDetail->DevicePath, nPathRoom);
    if (nPath < nPathRoom && nPath + USB_PIPE_SUFFIX_LENGTH < nSize) {
      memcpy(pszBuffer, pDetail->DevicePath, nPath + 1);
      hInterface = OpenDevicePath(pszBuffer);
      // A printer of the table that cannot be opened (its permissions, say):
      // that is what a search that finds nothing else reports.
      if (hInterface == INVALID_HANDLE_VALUE && pdwMatchOpenError != nullptr &&
          *pdwMatchOpenError == 0 && MatchesDevicePattern(pszBuffer)) {
        *pdwMatchOpenError = GetLastError();
      }
    }
  }
  GlobalUnlock(hBlock);
  GlobalFree(hBlock);
  return hInterface;
}

int CUsbComm::LocateDevice(int nUsbType, char *pszBuffer, DWORD nSize) {
  HANDLE hInterface = OpenUsbDevice(InterfaceClassOf(nUsbType), pszBuffer, nSize);
  if (!IsOpen(hInterface)) return 0;
  CloseHandle(hInterface);
  return 1;
}

int CUsbComm::LocateOwnDevice(int nUsbType, char *pszBuffer, DWORD nSize) {
  if (!IsBound()) return LocateDevice(nUsbType, pszBuffer, nSize);
  // Room for the pipe suffix was checked when the session was made.
  CopyText(pszBuffer, nSize, m_szBoundPath);
  return 1;
}

HANDLE CUsbComm::OpenPipe(int nUsbType, const char *pszPipeName) {
  HANDLE hInterface =
      OpenUsbDevice(InterfaceClassOf(nUsbType), m_szDevicePath, sizeof m_szDevicePath);
  if (!IsOpen(hInterface)) return INVALID_HANDLE_VALUE;
  CloseHandle(hInterface);
  if (!AppendPipeName(m_szDevicePath, sizeof m_szDevicePath, pszPipeName)) {
    return INVALID_HANDLE_VALUE;
  }
  return OpenDevicePath(m_szDevicePath);
}

int DetectUsbType(char *pszText, DWORD nSize) {
  static const struct {
    int nUsbType;
    const char *pszDescription;
  } kProbes[] = {
      {USB_TYPE_NATIVE, "Native USB"},
      {USB_TYPE_PRINTER_CLASS, "Printer Class USB"},
  };
  CUsbComm probe;
  // A printer of the table that is there but does not open decides the type
  // when no other does: its open then fails with the reason (say, access
  // denied) rather than "no printer".
  int nUnopened = USB_TYPE_NATIVE;
  bool bUnopened = false;
  for (const auto &candidate : kProbes) {
    HANDLE hPipe = probe.OpenPipe(candidate.nUsbType, "PIPE00");
    if (IsOpen(hPipe)) {
      CloseHandle(hPipe);
      CopyText(pszText, nSize, candidate.pszDescription);
      return candidate.nUsbType;
    }
    if (!bUnopened && probe.m_dwMatchOpenError != 0) {
      nUnopened = candidate.nUsbType;
      bUnopened = true;
    }
  }
  CopyText(pszText, nSize, "Error opening USB");
  return nUnopened;
}
