// Device discovery and type detection on simulated printers, and the device
// table's shape.
#include <ctype.h>
#include <gmock/gmock.h>
#include <string.h>

#include <regex>
#include <set>

#include "FakeJni.h"
#include "SimFixture.h"
#include "usbcomm/UsbComm.h"

using ::testing::ElementsAre;

namespace {

std::string NativePath(const std::string &szIds, const std::string &szTail = "1") {
  return "\\\\?\\usb#" + szIds + "#6&1f2e3d4c&0&" + szTail +
         "#{6e3b1a52-94d7-4c2e-b5a8-3f71d0c9e846}";
}
std::string PrinterClassPath(const std::string &szIds) {
  return "\\\\?\\usb#" + szIds + "#7&2a3b4c5d&0&1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

class DiscoveryTest : public CSimTest {
 protected:
  void TearDown() override {
    for (SIMDEV dev : m_devices) SimUnplug(dev);
    CSimTest::TearDown();
  }
  SIMDEV PlugNative(const std::string &szPath) {
    return Plugged(SimPlug(SIM_CLASS_NATIVE, &GUID_DEVINTERFACE_NATIVE_PRINTER, szPath.c_str()));
  }
  SIMDEV PlugPrinterClass(const std::string &szPath) {
    return Plugged(SimPlug(SIM_CLASS_PRINTER, &SIM_GUID_DEVINTERFACE_USBPRINT, szPath.c_str()));
  }
  SIMDEV Plugged(SIMDEV dev) {
    EXPECT_NE(dev, 0);
    if (dev != 0) m_devices.push_back(dev);
    return dev;
  }
  // Runs LocateDevice on a buffer that starts out as "untouched".
  int Locate(int nUsbType) {
    strcpy(m_szBuffer, "untouched");
    ClearLines();
    return m_comm.LocateDevice(nUsbType, m_szBuffer, sizeof m_szBuffer);
  }
  std::vector<std::string> Traces() { return WithoutLineNumbers(Lines()); }

  CUsbComm m_comm;
  char m_szBuffer[USB_PATH_SIZE];
  std::vector<SIMDEV> m_devices;
};

// ---- The table ----

TEST(DeviceTableTest, HoldsThirteenModelsInTheListedCasingsAndOrder) {
  std::vector<std::string> rows;
  for (const char *const *pp = g_apszDevicePatterns; *pp; ++pp) rows.push_back(*pp);
  ASSERT_EQ(rows.size(), 27u);

  const std::regex formA("vid_[0-9a-f]{4}&pid_[0-9a-f]{4}");
  const std::regex formB("VID_[0-9A-F]{4}&PID_[0-9A-F]{4}");
  const std::regex formC("vid_[0-9A-F]{4}&pid_[0-9A-F]{4}");
  auto upper = [](std::string s) {
    for (auto &c : s) c = (char)toupper((unsigned char)c);
    return s;
  };
  auto vendor = [&](int nRow) { return upper(rows[nRow - 1].substr(4, 4)); };
  auto model = [&](int nRow) { return upper(rows[nRow - 1]); };
  auto form = [&](int nRow) -> char {
    const std::string &s = rows[nRow - 1];
    if (std::regex_match(s, formA)) return 'a';
    if (std::regex_match(s, formB)) return 'b';
    if (std::regex_match(s, formC)) return 'c';
    return '?';
  };

  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(form(n), 'a') << n;
    EXPECT_EQ(form(n + 3), 'b') << n;
    EXPECT_EQ(model(n), model(n + 3)) << n;
  }
  for (int n = 7; n <= 19; n += 2) {
    EXPECT_EQ(form(n), 'b') << n;
    EXPECT_EQ(form(n + 1), 'a') << n;
    EXPECT_EQ(model(n), model(n + 1)) << n;
  }
  EXPECT_EQ(rows[20], rows[17]);
  for (int n = 22; n <= 26; n += 2) {
    EXPECT_EQ(form(n), 'a') << n;
    EXPECT_EQ(form(n + 1), 'c') << n;
    EXPECT_EQ(model(n), model(n + 1)) << n;
  }

  std::set<std::string> models, vendors;
  for (int n = 1; n <= 27; ++n) {
    models.insert(model(n));
    vendors.insert(vendor(n));
  }
  EXPECT_EQ(models.size(), 13u);
  EXPECT_EQ(vendors.size(), 4u);
  EXPECT_EQ(vendor(13), vendor(1));  // the first vendor's later models
  std::set<std::string> distinct = {vendor(1), vendor(7), vendor(19), vendor(22)};
  EXPECT_EQ(distinct.size(), 4u);
}

TEST(DeviceTableTest, InterfaceClasses) {
  EXPECT_EQ(memcmp(&GUID_DEVINTERFACE_USBPRINT, &SIM_GUID_DEVINTERFACE_USBPRINT, sizeof(GUID)), 0);
  EXPECT_NE(memcmp(&GUID_DEVINTERFACE_NATIVE_PRINTER, &GUID_DEVINTERFACE_USBPRINT, sizeof(GUID)),
            0);
}

// ---- The search ----

TEST_F(DiscoveryTest, PatternMatchesAnywhereInThePath) {
  const std::string szPath = "\\\\?\\usb#composite&mi_00#vid_fd4b&pid_3d0c-printer#2";
  PlugNative(szPath);
  ASSERT_EQ(Locate(USB_TYPE_NATIVE), 1);
  EXPECT_EQ(std::string(m_szBuffer), szPath);
  EXPECT_THAT(Traces(), ElementsAre("CUsbComm::OpenUsbDevice outNameBuf= " + szPath + "\n",
                                    "OpenUsbDevice Printer found.\n"));
  // Located on the class of the type only.
  EXPECT_EQ(Locate(USB_TYPE_PRINTER_CLASS), 0);
  EXPECT_EQ(Locate(USB_TYPE_UNKNOWN), 1);
}

TEST_F(DiscoveryTest, UnlistedCasingDoesNotMatch) {
  const std::string szPath = NativePath("VID_fa1c&PID_0a01");
  PlugNative(szPath);
  EXPECT_EQ(Locate(USB_TYPE_NATIVE), 0);
  EXPECT_STREQ(m_szBuffer, "");
  // Opened to read its path, closed again (the leak check sees the handle).
  EXPECT_THAT(Traces(), ElementsAre("CUsbComm::OpenUsbDevice outNameBuf= " + szPath + "\n",
                                    "OpenUsbDevice ERROR_NO_MORE_ITEMS\n"));
}

TEST_F(DiscoveryTest, NonMatchingInterfacesArePassedOver) {
  PlugNative(NativePath("vid_1234&pid_5678"));
  const std::string szPrinter = NativePath("VID_FC3E&PID_2C01", "2");
  PlugNative(szPrinter);
  ASSERT_EQ(Locate(USB_TYPE_NATIVE), 1);
  EXPECT_EQ(std::string(m_szBuffer), szPrinter);
  EXPECT_EQ(Traces().size(), 3u);
}

TEST_F(DiscoveryTest, MatchingInterfaceThatCannotBeOpenedIsPassedOver) {
  const std::string szFirst = NativePath("vid_fa1c&pid_0a02", "1");
  const SIMDEV first = PlugNative(szFirst);
  const std::string szSecond = NativePath("vid_fa1c&pid_0a03", "2");
  PlugNative(szSecond);
  ASSERT_TRUE(SimScriptOpenError(first, SIM_PIPE_BARE, ERROR_ACCESS_DENIED));
  ASSERT_EQ(Locate(USB_TYPE_NATIVE), 1);
  EXPECT_EQ(std::string(m_szBuffer), szSecond);
  EXPECT_THAT(Traces(), ElementsAre("CUsbComm::OpenUsbDevice outNameBuf= " + szSecond + "\n",
                                    "OpenUsbDevice Printer found.\n"));
}

TEST_F(DiscoveryTest, PathOfInterfaceThatCannotBeOpenedStaysInTheBuffer) {
  const std::string szPath = NativePath("vid_fa1c&pid_0a02");
  const SIMDEV dev = PlugNative(szPath);
  ASSERT_TRUE(SimScriptOpenError(dev, SIM_PIPE_BARE, ERROR_ACCESS_DENIED));
  EXPECT_EQ(Locate(USB_TYPE_NATIVE), 0);
  EXPECT_EQ(std::string(m_szBuffer), szPath);
  EXPECT_THAT(Traces(), ElementsAre("OpenUsbDevice ERROR_NO_MORE_ITEMS\n"));
}

TEST_F(DiscoveryTest, EmptyClassEndsAtOnceWithBufferUntouched) {
  PlugPrinterClass(PrinterClassPath("VID_FB2D&PID_1B10"));
  EXPECT_EQ(Locate(USB_TYPE_NATIVE), 0);
  EXPECT_STREQ(m_szBuffer, "untouched");
  EXPECT_THAT(Traces(), ElementsAre("OpenUsbDevice ERROR_NO_MORE_ITEMS\n"));
}

TEST_F(DiscoveryTest, UnavailableDeviceListIsNotFoundWithoutTrace) {
  PlugNative(NativePath("vid_fa1c&pid_0a01"));
  SimInjectFailure(SIM_FN_SetupDiGetClassDevsA, 0, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Locate(USB_TYPE_NATIVE), 0);
  EXPECT_STREQ(m_szBuffer, "untouched");
  EXPECT_TRUE(Traces().empty());
}

TEST_F(DiscoveryTest, EnumerationErrorSkipsToTheNextIndex) {
  PlugNative(NativePath("vid_fa1c&pid_0a01", "1"));
  const std::string szSecond = NativePath("vid_fa1c&pid_0a02", "2");
  PlugNative(szSecond);
  SimInjectFailure(SIM_FN_SetupDiEnumDeviceInterfaces, 0, 1, ERROR_GEN_FAILURE);
  ASSERT_EQ(Locate(USB_TYPE_NATIVE), 1);
  EXPECT_EQ(std::string(m_szBuffer), szSecond);
  EXPECT_EQ(Traces()[0], "OpenUsbDevice Error = 31\n");
}

TEST_F(DiscoveryTest, DetailFailuresPassTheInterfaceOver) {
  const std::string szPath = NativePath("vid_fa1c&pid_0a01");
  PlugNative(szPath);
  for (int nFn : {SIM_FN_GlobalAlloc, SIM_FN_GlobalLock, SIM_FN_SetupDiGetDeviceInterfaceDetailA}) {
    // The detail query runs twice per interface; fail the fetch, not the size.
    SimInjectFailure(nFn, nFn == SIM_FN_SetupDiGetDeviceInterfaceDetailA ? 1 : 0, 1,
                     ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Locate(USB_TYPE_NATIVE), 0) << SimFnName(nFn);
    EXPECT_STREQ(m_szBuffer, "untouched") << SimFnName(nFn);
    SimClearInjections();
  }
  EXPECT_EQ(Locate(USB_TYPE_NATIVE), 1);
}

// ---- Obvious faults: unbounded scan, overlong paths ----

TEST_F(DiscoveryTest, RepeatingEnumerationErrorEndsTheScan) {
  PlugNative(NativePath("vid_fa1c&pid_0a01"));
  SimInjectFailure(SIM_FN_SetupDiEnumDeviceInterfaces, 0, 0xFFFFFFFFu, ERROR_GEN_FAILURE);
  EXPECT_EQ(Locate(USB_TYPE_NATIVE), 0);
  SimClearInjections();
  EXPECT_EQ(SimCallCount(SIM_FN_SetupDiEnumDeviceInterfaces), 256u);
  const auto lines = Traces();
  EXPECT_EQ(lines.size(), 256u);
  for (const auto &line : lines) EXPECT_EQ(line, "OpenUsbDevice Error = 31\n");
  EXPECT_EQ(SimCallCount(SIM_FN_SetupDiDestroyDeviceInfoList), 1u);
}

TEST_F(DiscoveryTest, PathsLeaveRoomForThePipeName) {
  const std::string szHead = "\\\\?\\usb#vid_fa1c&pid_0a01#";
  const std::string szLongest = szHead + std::string(248 - szHead.size(), 'x');
  const std::string szTooLong = szHead + std::string(249 - szHead.size(), 'y');
  PlugNative(szTooLong);
  EXPECT_EQ(Locate(USB_TYPE_NATIVE), 0);
  EXPECT_STREQ(m_szBuffer, "untouched");
  EXPECT_EQ(SimCallCount(SIM_FN_CreateFileA), 0u);

  PlugNative(szLongest);
  ASSERT_EQ(Locate(USB_TYPE_NATIVE), 1);
  EXPECT_EQ(std::string(m_szBuffer), szLongest);
  // The path line is cut to its 200-byte buffer, line feed kept.
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 199u);
  EXPECT_EQ(lines[0].back(), '\n');
  EXPECT_EQ(lines[0].compare(0, 36, "CUsbComm::OpenUsbDevice outNameBuf=("), 0);

  // The longest path takes the pipe name and its terminator exactly.
  HANDLE hPipe = m_comm.OpenPipe(USB_TYPE_NATIVE, "PIPE00");
  ASSERT_NE(hPipe, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::string(m_comm.m_szDevicePath), szLongest + "\\PIPE00");
  EXPECT_TRUE(CloseHandle(hPipe));
}

TEST_F(DiscoveryTest, SmallBufferRefusesEveryPath) {
  PlugNative(NativePath("vid_fa1c&pid_0a01"));
  char szSmall[16] = "untouched";
  EXPECT_EQ(m_comm.LocateDevice(USB_TYPE_NATIVE, szSmall, sizeof szSmall), 0);
  EXPECT_STREQ(szSmall, "untouched");
}

// ---- Pipes and detection ----

TEST_F(DiscoveryTest, OpenPipeAppendsThePipeName) {
  const std::string szPath = PrinterClassPath("vid_fb2d&pid_1b11");
  const SIMDEV dev = PlugPrinterClass(szPath);
  HANDLE hPipe = m_comm.OpenPipe(USB_TYPE_PRINTER_CLASS, "PIPE01");
  ASSERT_NE(hPipe, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::string(m_comm.m_szDevicePath), szPath + "\\PIPE01");
  DWORD nWritten = 0;
  EXPECT_TRUE(WriteFile(hPipe, "x", 1, &nWritten, nullptr));
  EXPECT_EQ(SimWritten(dev, nullptr, 0), 1u);
  EXPECT_TRUE(CloseHandle(hPipe));
  EXPECT_EQ(m_comm.OpenPipe(USB_TYPE_NATIVE, "PIPE01"), INVALID_HANDLE_VALUE);
}

class DetectTest : public DiscoveryTest {
 protected:
  int Detect() {
    strcpy(m_szText, "?");
    return DetectUsbType(m_szText, sizeof m_szText);
  }
  char m_szText[USB_PATH_SIZE];
};

TEST_F(DetectTest, WithoutPrinterFallsBackToNative) {
  EXPECT_EQ(Detect(), USB_TYPE_NATIVE);
  EXPECT_STREQ(m_szText, "Error opening USB");
}

TEST_F(DetectTest, NativeWinsOverPrinterClass) {
  PlugPrinterClass(PrinterClassPath("VID_FB2D&PID_1B12"));
  EXPECT_EQ(Detect(), USB_TYPE_PRINTER_CLASS);
  EXPECT_STREQ(m_szText, "Printer Class USB");

  PlugNative(NativePath("vid_fd4b&pid_3d0a"));
  const DWORD nOpensBefore = SimCallCount(SIM_FN_CreateFileA);
  EXPECT_EQ(Detect(), USB_TYPE_NATIVE);
  EXPECT_STREQ(m_szText, "Native USB");
  // Interface and probe pipe of the native class only.
  EXPECT_EQ(SimCallCount(SIM_FN_CreateFileA) - nOpensBefore, 2u);
  // The probe works on its own object: the session's path stays empty.
  EXPECT_STREQ(g_UsbComm.m_szDevicePath, "");
}

TEST_F(DetectTest, NativeWhosePipeFailsGivesWayToPrinterClass) {
  const SIMDEV native = PlugNative(NativePath("vid_fd4b&pid_3d0a"));
  PlugPrinterClass(PrinterClassPath("VID_FB2D&PID_1B12"));
  ASSERT_TRUE(SimScriptOpenError(native, SIM_PIPE_00, ERROR_BUSY));
  EXPECT_EQ(Detect(), USB_TYPE_PRINTER_CLASS);
}

TEST_F(DetectTest, DescriptionIsCutToItsBuffer) {
  PlugNative(NativePath("vid_fd4b&pid_3d0a"));
  char szText[5];
  EXPECT_EQ(DetectUsbType(szText, sizeof szText), USB_TYPE_NATIVE);
  EXPECT_STREQ(szText, "Nati");
}

}  // namespace
