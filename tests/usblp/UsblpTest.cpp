// Real printer-class printers through the kernel's usblp driver, on a
// mocked sysfs and node (umockdev): discovery, the library's session over the
// node, unplug and the errors of a node that cannot be opened.
#include <errno.h>
#include <gmock/gmock.h>
#include <stdint.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "FakeJni.h"
#include "Identity.h"
#include "LpControl.h"
#include "LpErrors.h"
#include "LpTestbed.h"
#include "SimFixture.h"
#include "jni/UsbPort.h"
#include "usbcomm/UsbComm.h"

namespace {

using Bytes = std::vector<unsigned char>;
const Bytes kStatusRequest = {0x10, 0x04, 0x01};
const Bytes kStatusReply = {0x16};
const DWORD kBoundMs = 20000;

class UsblpTest : public CSimTest {
 protected:
  void SetUp() override {
    CSimTest::SetUp();
    SimUseHostPrinters(TRUE);  // the testbed's printers are the host's
  }
  void TearDown() override {
    // A failed case may leave a session running: stop it before the leak check.
    if (g_UsbComm.m_QuitEvent != nullptr || g_UsbComm.m_hWritePort != nullptr) Close(0);
    EXPECT_TRUE(m_jni.Faults().empty()) << ::testing::PrintToString(m_jni.Faults());
    CSimTest::TearDown();
  }

  jint OpenPipe(DWORD dwAccess) {
    return Java_com_velto_printer_UsbPort_usbInitPipe(m_jni.Env(), m_jni.Self(), m_jni.Port(),
                                                      (jint)dwAccess);
  }
  jint Write(const Bytes &bytes) {
    jbyteArray array = m_jni.NewByteArray(std::vector<jbyte>(bytes.begin(), bytes.end()));
    return Java_com_velto_printer_UsbPort_usbWriteOutputPipe(m_jni.Env(), m_jni.Self(),
                                                             m_jni.PortField("hWritePort"), array);
  }
  jint Close(jint nHandle) {
    return Java_com_velto_printer_UsbPort_usbClosePipe(m_jni.Env(), m_jni.Self(), nHandle);
  }
  // What the receiver has stored, once it has n bytes (bounded wait first,
  // so that a missing reply fails instead of blocking the read).
  Bytes ReadStored(size_t n) {
    const auto tpEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (g_UsbComm.BytesAvailable() < n && std::chrono::steady_clock::now() < tpEnd) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (g_UsbComm.BytesAvailable() < n) return Bytes();
    jbyteArray array = m_jni.NewByteArray(n, 0);
    const jint nGot = Java_com_velto_printer_UsbPort_usbReadInputPipe(
        m_jni.Env(), m_jni.Self(), m_jni.PortField("hReadPort"), array);
    const std::vector<jbyte> all = m_jni.Bytes(array);
    return nGot > 0 ? Bytes(all.begin(), all.begin() + nGot) : Bytes();
  }
  void OpenSession() {
    ASSERT_EQ(OpenPipe(GENERIC_READ), USB_TYPE_PRINTER_CLASS);
    ASSERT_EQ(OpenPipe(GENERIC_WRITE), USB_TYPE_PRINTER_CLASS);
  }
  void StatusRoundTrip(unsigned nLp) {
    ASSERT_EQ(Write(kStatusRequest), 0);
    EXPECT_EQ(m_bed.ReadWritten(nLp, kStatusRequest.size()), kStatusRequest);
    ASSERT_TRUE(m_bed.SendToHost(nLp, kStatusReply));
    EXPECT_EQ(ReadStored(1), kStatusReply);
  }
  void CloseSession() {
    EXPECT_EQ(Close(m_jni.PortField("hReadPort")), 0);
    EXPECT_EQ(SimOpenHandleCount(), 0u);
  }

  CLpTestbed m_bed;
  CFakeJni m_jni;
};

// ---- Discovery and matching ----

struct SListed {
  const char *pszName;
  unsigned nVendor, nProduct;
  const char *pszSerial;
  const char *pszInstance;  // in the interface path
  const char *pszDevice;    // the USB device node's instance id (a pattern)
  bool bAccepted;
  unsigned nClass = 0x07;  // of the interface the node belongs to
};

void PrintTo(const SListed &p, std::ostream *pOut) { *pOut << p.pszName; }

class UsblpDiscoveryTest : public UsblpTest, public ::testing::WithParamInterface<SListed> {};

TEST_P(UsblpDiscoveryTest, ListedUnderThePrinterClassAndMatchedByTheTable) {
  const SListed &p = GetParam();
  ASSERT_TRUE(m_bed.AddPrinter(0, p.nVendor, p.nProduct, p.pszSerial, p.nClass));
  const std::string sPath = CLpTestbed::InterfacePath(p.nVendor, p.nProduct, p.pszInstance);
  char szBuffer[USB_PATH_SIZE] = "untouched";
  CUsbComm comm;
  EXPECT_EQ(comm.LocateDevice(USB_TYPE_NATIVE, szBuffer, sizeof szBuffer), 0)
      << "no native-class printer on Linux";
  EXPECT_EQ(comm.LocateDevice(USB_TYPE_PRINTER_CLASS, szBuffer, sizeof szBuffer),
            p.bAccepted ? 1 : 0);
  // A node of another class is not even listed: nothing is opened or traced.
  const bool bListed = p.nClass == 0x07;
  EXPECT_EQ(szBuffer, p.bAccepted ? sPath : bListed ? std::string() : std::string("untouched"));
  if (bListed) {
    EXPECT_TRUE(WaitForLine(") " + sPath, kBoundMs)) << "the search traces the path it opened";
  }
  char szType[64];
  EXPECT_EQ(DetectUsbType(szType, sizeof szType),
            p.bAccepted ? USB_TYPE_PRINTER_CLASS : USB_TYPE_NATIVE);
  EXPECT_STREQ(szType, p.bAccepted ? "Printer Class USB" : "Error opening USB");
  // Its identity: the device's strings, its port, and its USB device node.
  std::vector<::testing::Matcher<std::string>> identities;
  if (bListed) {
    identities.push_back(::testing::MatchesRegex(
        R"(USBPRINT\\ACMELABEL_2\\7&[0-9A-F]{8}&0&USB001 < )" + std::string(p.pszDevice) +
        R"( < HTREE\\ROOT\\0 \| mfg=Acme desc=Label 2 loc=1-1)"));
  }
  EXPECT_THAT(ListIdentities(SIM_GUID_DEVINTERFACE_USBPRINT),
              ::testing::ElementsAreArray(identities));
}

INSTANTIATE_TEST_SUITE_P(
    Printers, UsblpDiscoveryTest,
    ::testing::Values(SListed{"Serial", 0xfa1c, 0x0a02, "SN123", "sn123",
                              R"(USB\\VID_FA1C&PID_0A02\\SN123)", true},
                      // Listed in the table in lower case and with upper-case digits only.
                      SListed{"NoSerial", 0xfd4b, 0x3d0a, "", "1-1",
                              R"(USB\\VID_FD4B&PID_3D0A\\5&[0-9A-F]{8}&0&1)", true},
                      // A serial Windows would not take: the port names the instance.
                      SListed{"OddSerial", 0xfb2d, 0x1b10, "A#1", "1-1",
                              R"(USB\\VID_FB2D&PID_1B10\\5&[0-9A-F]{8}&0&1)", true},
                      SListed{"Unlisted", 0x1234, 0x5678, "X9", "x9",
                              R"(USB\\VID_1234&PID_5678\\X9)", false},
                      // A usbmisc node of a device of the table that is no printer.
                      SListed{"OtherClass", 0xfa1c, 0x0a02, "SN9", "sn9", "", false, 0xff}),
    [](const ::testing::TestParamInfo<SListed> &param) { return param.param.pszName; });

// Simulated printers and real ones never mix: while a program has plugged a
// simulated printer, only those are listed and opened.
TEST_F(UsblpTest, SimulatedPrintersHideTheRealOnes) {
  ASSERT_TRUE(m_bed.AddPrinter(0, 0xfa1c, 0x0a02, "SN123"));
  const std::string sReal = CLpTestbed::InterfacePath(0xfa1c, 0x0a02, "sn123");
  const std::string sSim =
      "\\\\?\\usb#vid_fa1c&pid_0a01#7&1&0&1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
  const SIMDEV dev = SimPlug(SIM_CLASS_PRINTER, nullptr, sSim.c_str());
  ASSERT_NE(dev, 0);
  char szBuffer[USB_PATH_SIZE];
  CUsbComm comm;
  EXPECT_EQ(comm.LocateDevice(USB_TYPE_PRINTER_CLASS, szBuffer, sizeof szBuffer), 1);
  EXPECT_EQ(szBuffer, sSim);
  EXPECT_EQ(CreateFileA(sReal.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  SimUnplug(dev);
}

// Twins (one serial number, which Windows takes once) and a printer without
// one: each device's instance id is made up from its port, so the listing
// tells all three apart by instance id and location.
TEST_F(UsblpTest, TwinsAndAPrinterWithoutSerialAreToldApartByTheirPorts) {
  ASSERT_TRUE(m_bed.AddPrinter(0, 0xfa1c, 0x0a02, "SN123"));
  ASSERT_TRUE(m_bed.AddPrinter(1, 0xfa1c, 0x0a02, "SN123"));
  ASSERT_TRUE(m_bed.AddPrinter(2, 0xfa1c, 0x0a02, ""));
  const std::string sIds = R"(\\7&[0-9A-F]{8}&0&USB001 < USB\\VID_FA1C&PID_0A02\\5&[0-9A-F]{8}&0&)";
  const std::string sRoot = R"( < HTREE\\ROOT\\0 \| )";
  const std::vector<std::string> listed = ListIdentities(SIM_GUID_DEVINTERFACE_USBPRINT);
  std::vector<::testing::Matcher<std::string>> identities;
  for (const char *pszPort : {"1", "2", "3"}) {
    identities.push_back(::testing::MatchesRegex("USBPRINT.ACMELABEL_2" + sIds + pszPort + sRoot +
                                                 "mfg=Acme desc=Label 2 loc=1-" + pszPort));
  }
  EXPECT_THAT(listed, ::testing::ElementsAreArray(identities));
  EXPECT_NE(listed.at(0).substr(0, 30), listed.at(1).substr(0, 30)) << "the twins' own nodes";
}

// ---- The session over the node ----

TEST_F(UsblpTest, WritesArriveAtTheNode) {
  ASSERT_TRUE(m_bed.AddPrinter(0, 0xfa1c, 0x0a02, "SN123"));
  OpenSession();
  const Bytes receipt = {'R', 'E', 'C', 'E', 'I', 'P', 'T', '\n', 0x1b, 0x69, 0x00, 0xff};
  EXPECT_EQ(Write(receipt), 0);
  EXPECT_EQ(m_bed.ReadWritten(0, receipt.size()), receipt);
  CloseSession();
}

// A write cancelled while its chunk is in write(2) ends with 995 and keeps
// those bytes: the next write goes out whole and reports its own count.
TEST_F(UsblpTest, BytesOfACancelledWriteAreNotCreditedToTheNext) {
  ASSERT_TRUE(m_bed.AddPrinter(0, 0xfa1c, 0x0a02, "SN123"));
  const std::string sPath = CLpTestbed::InterfacePath(0xfa1c, 0x0a02, "sn123");
  const Bytes bytes = {'F', 'I', 'R', 'S', 'T', '2', 'N', 'D'};  // 5 cancelled, then 3
  HANDLE ah[2];
  OVERLAPPED aov[2] = {};
  for (int i = 0; i < 2; ++i) {
    ah[i] = CreateFileA(sPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    aov[i].hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  SimLpHoldWrites(TRUE);
  EXPECT_FALSE(WriteFile(ah[0], bytes.data(), 5, nullptr, &aov[0]));
  EXPECT_TRUE(SimLpWaitHeldWrite(kBoundMs) && CancelIo(ah[0]));
  EXPECT_FALSE(WriteFile(ah[1], bytes.data() + 5, 3, nullptr, &aov[1]));
  SimLpHoldWrites(FALSE);
  EXPECT_EQ(m_bed.ReadWritten(0, bytes.size()), bytes);
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(ah[0], &aov[0], &n, TRUE));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(GetOverlappedResult(ah[1], &aov[1], &n, TRUE));
  EXPECT_EQ(n, 3u);
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(CloseHandle(ah[i]) && CloseHandle(aov[i].hEvent));
}

// The status request goes out, the printer's reply (a umockdev script plays
// it) comes back through the receiver thread into the ring buffer.
TEST_F(UsblpTest, StatusRequestIsAnsweredThroughTheReceiver) {
  ASSERT_TRUE(m_bed.AddPrinter(0, 0xfa1c, 0x0a02, "SN123"));
  ASSERT_TRUE(m_bed.LoadScript(
      0, "w 0 " + ScriptData(kStatusRequest) + "\nr 0 " + ScriptData(kStatusReply) + "\n"));
  OpenSession();
  ASSERT_EQ(Write(kStatusRequest), 0);
  EXPECT_EQ(ReadStored(1), kStatusReply);
  EXPECT_TRUE(WaitForLine("READ1", kBoundMs));
  CloseSession();
}

// Unplugged, the node's pending read ends with ERROR_DEVICE_NOT_CONNECTED
// and writes fail; the printer back (on another port, so another node), the
// receiver reopens it by itself and the session goes on.
TEST_F(UsblpTest, UnplugFailsTheSessionUntilThePrinterIsBack) {
  // The printer is on port 1-10; what goes from port 1-1 is another device.
  ASSERT_TRUE(m_bed.AddPrinter(9, 0xfa1c, 0x0a02, "SN123"));
  ASSERT_TRUE(m_bed.AddPrinter(0, 0x1234, 0x5678, "X9"));
  OpenSession();
  m_bed.Unplug(0);
  StatusRoundTrip(9);

  m_bed.Unplug(9);
  EXPECT_TRUE(WaitForLine(" dwError = 1167", kBoundMs));
  EXPECT_NE(Write(kStatusRequest), 0);
  const std::string sPath = CLpTestbed::InterfacePath(0xfa1c, 0x0a02, "sn123");
  EXPECT_EQ(CreateFileA(sPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND) << "gone from the list";

  ASSERT_TRUE(m_bed.Replug(9, 1));
  ASSERT_TRUE(WaitForLine("Handles Valid", kBoundMs));
  StatusRoundTrip(1);
  CloseSession();
}

// A twin (same serial) turns both printers' paths into the port form. The
// session opened under the serial form goes on: a new open by the new path
// and the receiver's reopen share its one open of the node; the serial form
// names neither printer any more.
TEST_F(UsblpTest, TwinPrinterRenamesThePathButTheNodeStaysOpenOnce) {
  ASSERT_TRUE(m_bed.AddPrinter(0, 0xfa1c, 0x0a02, "SN123"));
  OpenSession();
  ASSERT_TRUE(m_bed.AddPrinter(1, 0xfa1c, 0x0a02, "SN123"));
  const std::string sNew = CLpTestbed::InterfacePath(0xfa1c, 0x0a02, "1-1");
  const HANDLE h = CreateFileA(sNew.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(m_bed.NodeOpens(0), 1u);
  EXPECT_TRUE(CloseHandle(h));
  const std::string sOld = CLpTestbed::InterfacePath(0xfa1c, 0x0a02, "sn123");
  EXPECT_EQ(CreateFileA(sOld.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  // A handle error makes the receiver reopen, under the new path.
  SimInjectFailure(SIM_FN_ReadFile, 0, 1, ERROR_INVALID_HANDLE);
  StatusRoundTrip(0);
  ASSERT_TRUE(WaitForLine("Handles Valid", kBoundMs));
  StatusRoundTrip(0);
  EXPECT_EQ(m_bed.NodeOpens(0), 1u);
  CloseSession();
}

// ---- A node that cannot be opened ----

struct SOpenError {
  const char *pszName;
  bool (CLpTestbed::*pfnBreak)(unsigned);
  DWORD dwError;
};

void PrintTo(const SOpenError &p, std::ostream *pOut) { *pOut << p.pszName; }

class UsblpOpenErrorTest : public UsblpTest, public ::testing::WithParamInterface<SOpenError> {};

TEST_P(UsblpOpenErrorTest, IsReportedAndThePrinterPassedOver) {
  ASSERT_TRUE(m_bed.AddPrinter(0, 0xfa1c, 0x0a02, "SN123"));
  ASSERT_TRUE((m_bed.*GetParam().pfnBreak)(0));
  CWithoutFileModeOverride modes;
  ASSERT_TRUE(modes.Ok());
  // The bare path is the one discovery opens.
  for (const char *pszPipe : {"", "\\PIPE00", "\\PIPE01"}) {
    const std::string sPath = CLpTestbed::InterfacePath(0xfa1c, 0x0a02, "sn123") + pszPipe;
    SetLastError(0);
    EXPECT_EQ(CreateFileA(sPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), GetParam().dwError) << sPath;
  }
  // Java hears why, not "no printer".
  EXPECT_EQ(OpenPipe(GENERIC_WRITE), -1);
  EXPECT_EQ(GetLastError(), GetParam().dwError);
}

// The node's errors reach Java as the Windows codes of docs/linux.md; above
// all, an unplug reads as 1167 whichever way usblp tells it.
TEST(UsblpErrorTest, NodeErrorsBecomeTheDocumentedWindowsCodes) {
  const struct {
    int nErrno;
    bool bRemoved;
    DWORD dwError;
  } kRows[] = {
      {ENODEV, false, ERROR_DEVICE_NOT_CONNECTED},
      {ENXIO, false, ERROR_DEVICE_NOT_CONNECTED},
      {ESHUTDOWN, false, ERROR_DEVICE_NOT_CONNECTED},
      {EIO, true, ERROR_DEVICE_NOT_CONNECTED},
      {EPROTO, true, ERROR_DEVICE_NOT_CONNECTED},
      {EIO, false, ERROR_GEN_FAILURE},
      {EPROTO, false, ERROR_GEN_FAILURE},
      {EACCES, false, ERROR_ACCESS_DENIED},
      {EPERM, false, ERROR_ACCESS_DENIED},
      {ENOENT, false, ERROR_FILE_NOT_FOUND},
      {EBUSY, false, ERROR_SHARING_VIOLATION},
  };
  for (const auto &row : kRows) {
    EXPECT_EQ(emu::usblp::Win32ErrorOf(row.nErrno, row.bRemoved), row.dwError)
        << strerror(row.nErrno) << (row.bRemoved ? ", class entry gone" : "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, UsblpOpenErrorTest,
    ::testing::Values(SOpenError{"NoPermission", &CLpTestbed::DenyNode, ERROR_ACCESS_DENIED},
                      SOpenError{"NoNode", &CLpTestbed::RemoveNode, ERROR_FILE_NOT_FOUND}),
    [](const ::testing::TestParamInfo<SOpenError> &param) { return param.param.pszName; });

}  // namespace
