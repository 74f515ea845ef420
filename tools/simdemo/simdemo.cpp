// simdemo: the simulated printers at work, through the same Win32 calls the
// library makes. Plugs in one printer of each interface class, finds it with
// SetupAPI, opens its pipes, asks for its status and reads the answer, and
// prints what happened. Exits 0 when every step did what Windows would do.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "velto/platform.h"
#include "velto/simprinter.h"

namespace {

// Interface class under which the demo's native-class printer registers
// (any vendor driver has a GUID of its own; this one is the demo's).
const GUID g_guidDemoNative = {
    0x6B3C1F52, 0x8D1E, 0x4A47, {0x9C, 0x2B, 0x5E, 0x0D, 0x7A, 0x41, 0xC3, 0xF9}};
const char g_szNativePath[] =
    "\\\\?\\usb#vid_1a2b&pid_0001#sim0001#{6b3c1f52-8d1e-4a47-9c2b-5e0d7a41c3f9}";
const char g_szPrinterPath[] =
    "\\\\?\\usb#vid_1a2b&pid_0002#sim0002#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// DLE EOT 1, the real-time status request of many receipt printers, and a
// reply meaning "online, no error".
const BYTE g_abStatusRequest[] = {0x10, 0x04, 0x01};
const BYTE g_abStatusReply[] = {0x16};
const char g_szGreeting[] = "hello from the printer";

int g_nFailures = 0;

void Check(bool bOk, const char *pszWhat) {
  const DWORD dwError = GetLastError();
  printf("  [%s] %s", bOk ? " ok " : "FAIL", pszWhat);
  if (!bOk) {
    printf(" (last error %u)", static_cast<unsigned>(dwError));
    ++g_nFailures;
  }
  printf("\n");
}

std::string Hex(const BYTE *pb, DWORD n) {
  std::string s;
  char sz[4];
  for (DWORD i = 0; i < n; ++i) {
    snprintf(sz, sizeof sz, "%s%02x", i ? " " : "", pb[i]);
    s += sz;
  }
  return s;
}

void OnDebugString(const char *pszText, void *) {
  size_t n = strlen(pszText);
  while (n > 0 && (pszText[n - 1] == '\n' || pszText[n - 1] == '\r')) --n;
  printf("  debugger: %.*s\n", static_cast<int>(n), pszText);
}

void Trace(const std::string &szText) { OutputDebugStringA(("simdemo: " + szText + "\n").c_str()); }

// The interface paths SetupAPI lists for one interface class, found the way
// the library finds them: enumerate, ask for the detail size, fetch the detail.
std::vector<std::string> ListInterfaces(const GUID &guid) {
  std::vector<std::string> paths;
  HDEVINFO hSet =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hSet == INVALID_HANDLE_VALUE) {
    Check(false, "SetupDiGetClassDevsA");
    return paths;
  }
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(hSet, nullptr, &guid, i, &data)) {
      Check(GetLastError() == ERROR_NO_MORE_ITEMS, "enumeration ends with ERROR_NO_MORE_ITEMS");
      break;
    }
    DWORD nRequired = 0;
    const BOOL bSized =
        SetupDiGetDeviceInterfaceDetailA(hSet, &data, nullptr, 0, &nRequired, nullptr);
    Check(!bSized && GetLastError() == ERROR_INSUFFICIENT_BUFFER && nRequired > 0,
          "detail size query answers ERROR_INSUFFICIENT_BUFFER with the size");
    std::vector<char> block(nRequired);
    auto *pDetail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(hSet, &data, pDetail, nRequired, nullptr, nullptr)) {
      paths.emplace_back(pDetail->DevicePath);
    } else {
      Check(false, "SetupDiGetDeviceInterfaceDetailA");
    }
  }
  Check(SetupDiDestroyDeviceInfoList(hSet) != FALSE, "SetupDiDestroyDeviceInfoList");
  return paths;
}

HANDLE OpenPipe(const std::string &szPath, const char *pszPipe, DWORD dwFlags) {
  const std::string szFile = szPath + "\\" + pszPipe;
  HANDLE h =
      CreateFileA(szFile.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, dwFlags, nullptr);
  const std::string szWhat = std::string("open ") + pszPipe +
                             (dwFlags & FILE_FLAG_OVERLAPPED ? " (overlapped)" : " (synchronous)");
  Check(h != INVALID_HANDLE_VALUE, szWhat.c_str());
  return h;
}

bool WriteAll(HANDLE h, const void *pData, DWORD n) {
  DWORD nWritten = 0;
  const BOOL bOk = WriteFile(h, pData, n, &nWritten, nullptr);
  const std::string szWhat = "write " + Hex(static_cast<const BYTE *>(pData), n);
  Check(bOk && nWritten == n, szWhat.c_str());
  return bOk && nWritten == n;
}

void DemoNative(SIMDEV dev, const std::string &szPath) {
  HANDLE hWrite = OpenPipe(szPath, "PIPE01", 0);
  HANDLE hRead = OpenPipe(szPath, "PIPE00", 0);
  if (hWrite == INVALID_HANDLE_VALUE || hRead == INVALID_HANDLE_VALUE) return;

  COMMTIMEOUTS to{};
  DWORD nReturned = 0;
  BOOL bOk = DeviceIoControl(hRead, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &to, sizeof to,
                             &nReturned, nullptr);
  printf("  driver time-outs: interval %u, total %u x n + %u ms\n",
         static_cast<unsigned>(to.ReadIntervalTimeout),
         static_cast<unsigned>(to.ReadTotalTimeoutMultiplier),
         static_cast<unsigned>(to.ReadTotalTimeoutConstant));
  Check(bOk && nReturned == sizeof to, "IOCTL_SERIAL_GET_TIMEOUTS answered");
  // Return at once with whatever has come: the reply is queued by the time
  // the write returns.
  to.ReadIntervalTimeout = MAXDWORD;
  to.ReadTotalTimeoutMultiplier = 0;
  to.ReadTotalTimeoutConstant = 0;
  bOk = DeviceIoControl(hRead, IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, nullptr, 0, &nReturned,
                        nullptr);
  Check(bOk != FALSE, "IOCTL_SERIAL_SET_TIMEOUTS answered");

  Trace("native printer: status request");
  if (WriteAll(hWrite, g_abStatusRequest, sizeof g_abStatusRequest)) {
    BYTE ab[16];
    DWORD nRead = 0;
    bOk = ReadFile(hRead, ab, sizeof ab, &nRead, nullptr);
    printf("  read %u byte(s): %s\n", static_cast<unsigned>(nRead), Hex(ab, nRead).c_str());
    Check(bOk && nRead == sizeof g_abStatusReply && memcmp(ab, g_abStatusReply, nRead) == 0,
          "status reply read synchronously");
  }

  SimSend(dev, g_szGreeting, sizeof g_szGreeting - 1);
  char sz[64] = {};
  DWORD nRead = 0;
  bOk = ReadFile(hRead, sz, sizeof sz - 1, &nRead, nullptr);
  printf("  read %u byte(s): \"%s\"\n", static_cast<unsigned>(nRead), sz);
  Check(bOk && strcmp(sz, g_szGreeting) == 0, "bytes the printer sent, in order");

  bOk = PurgeComm(hRead, PURGE_RXABORT | PURGE_RXCLEAR);
  Check(bOk && SimPurgeCount(dev) == 1, "PurgeComm answered by the native driver");

  Check(CloseHandle(hRead) != FALSE, "close PIPE00");
  Check(CloseHandle(hWrite) != FALSE, "close PIPE01");
}

void DemoPrinterClass(SIMDEV dev, const std::string &szPath) {
  HANDLE hWrite = OpenPipe(szPath, "PIPE01", 0);
  HANDLE hRead = OpenPipe(szPath, "PIPE00", FILE_FLAG_OVERLAPPED);
  HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (hWrite == INVALID_HANDLE_VALUE || hRead == INVALID_HANDLE_VALUE || hEvent == nullptr) {
    ++g_nFailures;
    return;
  }

  Trace("printer class: overlapped read, then status request");
  BYTE ab[64];
  OVERLAPPED ov{};
  ov.hEvent = hEvent;
  DWORD nRead = 0;
  BOOL bOk = ReadFile(hRead, ab, sizeof ab, &nRead, &ov);
  Check(!bOk && GetLastError() == ERROR_IO_PENDING, "read pends (ERROR_IO_PENDING)");
  bOk = GetOverlappedResult(hRead, &ov, &nRead, FALSE);
  Check(!bOk && GetLastError() == ERROR_IO_INCOMPLETE, "not complete yet (ERROR_IO_INCOMPLETE)");
  WriteAll(hWrite, g_abStatusRequest, sizeof g_abStatusRequest);
  Check(WaitForSingleObject(hEvent, 5000) == WAIT_OBJECT_0, "the read's event is set");
  bOk = GetOverlappedResult(hRead, &ov, &nRead, FALSE);
  printf("  read %u byte(s): %s\n", static_cast<unsigned>(nRead), Hex(ab, nRead).c_str());
  Check(bOk && nRead == sizeof g_abStatusReply && memcmp(ab, g_abStatusReply, nRead) == 0,
        "status reply completes the pending read");

  SimSend(dev, g_szGreeting, sizeof g_szGreeting - 1);
  char sz[64] = {};
  bOk = ReadFile(hRead, sz, sizeof sz - 1, &nRead, &ov);
  printf("  read %u byte(s) at once: \"%s\"\n", static_cast<unsigned>(nRead), sz);
  Check(bOk && strcmp(sz, g_szGreeting) == 0, "queued bytes complete a read at once");

  COMMTIMEOUTS to{};
  DWORD nReturned = 0;
  bOk = DeviceIoControl(hRead, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &to, sizeof to, &nReturned,
                        nullptr);
  Check(!bOk && GetLastError() == ERROR_INVALID_FUNCTION,
        "serial time-out request refused (ERROR_INVALID_FUNCTION)");

  bOk = ReadFile(hRead, ab, sizeof ab, &nRead, &ov);
  Check(!bOk && GetLastError() == ERROR_IO_PENDING, "another read pends");
  Check(CancelIo(hRead) != FALSE, "CancelIo");
  bOk = GetOverlappedResult(hRead, &ov, &nRead, TRUE);
  Check(!bOk && GetLastError() == ERROR_OPERATION_ABORTED,
        "the cancelled read ends with ERROR_OPERATION_ABORTED");

  Check(CloseHandle(hEvent) != FALSE, "close event");
  Check(CloseHandle(hRead) != FALSE, "close PIPE00");
  Check(CloseHandle(hWrite) != FALSE, "close PIPE01");
}

void Demo(const char *pszTitle, int nClass, const GUID &guid, const char *pszPath) {
  printf("\n%s\n", pszTitle);
  const SIMDEV dev = SimPlug(nClass, &guid, pszPath);
  Check(dev != 0, "plugged in");
  if (dev == 0) return;
  SimAddResponder(dev, g_abStatusRequest, sizeof g_abStatusRequest, g_abStatusReply,
                  sizeof g_abStatusReply);

  const std::vector<std::string> paths = ListInterfaces(guid);
  for (const std::string &szPath : paths) printf("  SetupAPI lists %s\n", szPath.c_str());
  Check(paths.size() == 1 && paths[0] == pszPath, "found through SetupAPI");
  if (paths.size() == 1) {
    if (nClass == SIM_CLASS_NATIVE) {
      DemoNative(dev, paths[0]);
    } else {
      DemoPrinterClass(dev, paths[0]);
    }
  }
  BYTE abLog[256];
  const DWORD nLog = SimWritten(dev, abLog, sizeof abLog);
  printf("  the printer received: %s\n", Hex(abLog, nLog < sizeof abLog ? nLog : 0).c_str());

  Check(SimUnplug(dev) != FALSE, "unplugged");
  Check(ListInterfaces(guid).empty(), "SetupAPI lists it no more");
}

}  // namespace

int main() {
  printf("simdemo: simulated printers through the emulated Win32 calls\n");
  SimReset();
  SimSetDebugListener(OnDebugString, nullptr);

  Demo("Native-class printer", SIM_CLASS_NATIVE, g_guidDemoNative, g_szNativePath);
  Demo("USB printer class printer", SIM_CLASS_PRINTER, SIM_GUID_DEVINTERFACE_USBPRINT,
       g_szPrinterPath);

  SimSetDebugListener(nullptr, nullptr);
  char szReport[1024];
  const DWORD nLeaks = SimLeakReport(szReport, sizeof szReport, 1000);
  printf("\n");
  Check(nLeaks == 0, "nothing left open");
  if (nLeaks != 0) printf("%s", szReport);
  printf("\nsimdemo: %s\n", g_nFailures == 0 ? "all steps succeeded" : "some steps FAILED");
  return g_nFailures == 0 ? 0 : 1;
}
