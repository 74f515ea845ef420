// Interface paths matched against the device pattern table, and pipe names
// appended to them.
//
// Input: a buffer size for the append (one byte, plus one), a byte whose bit 0 picks
// the interface class, then the interface path, a NUL, and the pipe name.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "usbcomm/TextBuffer.h"
#include "usbcomm/UsbComm.h"
#include "velto/simprinter.h"

namespace {

// AppendPipeName on a buffer of exactly nSize bytes holding szPath, cut to
// fit and left unterminated when it fills the buffer.
void CheckAppend(size_t nSize, const std::string &szPath, const std::string &szPipe) {
  std::vector<char> buffer(szPath.begin(), szPath.begin() + std::min(szPath.size(), nSize));
  const size_t nPath = buffer.size();
  if (nPath < nSize) buffer.push_back('\0');
  buffer.resize(nSize, 'x');
  const std::vector<char> before = buffer;
  const bool bFits = nPath < nSize && nPath + 1 + szPipe.size() + 1 <= nSize;
  FUZZ_CHECK(AppendPipeName(buffer.data(), nSize, szPipe.c_str()) == bFits);
  if (!bFits) {
    FUZZ_CHECK(buffer == before);
    return;
  }
  const std::string szWanted = szPath.substr(0, nPath) + "\\" + szPipe;
  FUZZ_CHECK(memcmp(buffer.data(), szWanted.c_str(), szWanted.size() + 1) == 0);
}

bool InPatternTable(const std::string &szPath) {
  for (const char *const *ppsz = g_apszDevicePatterns; *ppsz; ++ppsz) {
    if (szPath.find(*ppsz) != std::string::npos) return true;
  }
  return false;
}

// A printer plugged under szPath is found exactly when its path holds a table
// entry and leaves room for "\PIPE0x"; the pipe path is then that path, a
// backslash and the pipe name, as long as it fits.
void CheckDiscovery(int nUsbType, const std::string &szPath, const std::string &szPipe) {
  SimReset();
  const GUID *pClass = nUsbType == USB_TYPE_PRINTER_CLASS ? &GUID_DEVINTERFACE_USBPRINT
                                                          : &GUID_DEVINTERFACE_NATIVE_PRINTER;
  if (!SimPlug(nUsbType == USB_TYPE_PRINTER_CLASS ? SIM_CLASS_PRINTER : SIM_CLASS_NATIVE, pClass,
               szPath.c_str())) {
    return;
  }
  const bool bFound = InPatternTable(szPath) && szPath.size() + 7 < USB_PATH_SIZE;
  const bool bAppended = bFound && szPath.size() + 1 + szPipe.size() < USB_PATH_SIZE;
  CUsbComm comm;
  char szFound[USB_PATH_SIZE] = "";
  FUZZ_CHECK(comm.LocateDevice(nUsbType, szFound, sizeof szFound) == (bFound ? 1 : 0));
  HANDLE hPipe = comm.OpenPipe(nUsbType, szPipe.c_str());
  if (bFound) {
    FUZZ_CHECK(szFound == szPath);
    FUZZ_CHECK(comm.m_szDevicePath == (bAppended ? szPath + "\\" + szPipe : szPath));
  }
  if (hPipe != INVALID_HANDLE_VALUE) {
    FUZZ_CHECK(bAppended);
    CloseHandle(hPipe);
  } else {
    FUZZ_CHECK(!bAppended || (szPipe != "PIPE00" && szPipe != "PIPE01"));
  }
  FUZZ_CHECK(SimOpenHandleCount() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  if (nSize < 2) return 0;
  const std::string szRest((const char *)pData + 2, nSize - 2);
  const size_t nNul = szRest.find('\0');
  const std::string szPath = szRest.substr(0, nNul);
  const std::string szPipe =
      nNul == std::string::npos ? "PIPE00" : std::string(szRest.c_str() + nNul + 1);
  CheckAppend(pData[0] + 1u, szPath, szPipe);
  CheckDiscovery((pData[1] & 1) ? USB_TYPE_PRINTER_CLASS : USB_TYPE_NATIVE, szPath, szPipe);
  return 0;
}
