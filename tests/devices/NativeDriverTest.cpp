// The native-class driver: synchronous and overlapped reads and writes under
// its COMMTIMEOUTS, the serial time-out requests and purges; the printer
// class refusing them.
#include <cstring>

#include "DeviceTest.h"

namespace {

class NativeDriverTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    m_dev = Plug(SIM_CLASS_NATIVE, m_sPath);
    m_h = Open(m_sPath + "\\PIPE00");
    ASSERT_NE(m_h, INVALID_HANDLE_VALUE);
  }
  void SetTimeouts(DWORD dwInterval, DWORD dwMultiplier, DWORD dwConstant) {
    const COMMTIMEOUTS to = {dwInterval, dwMultiplier, dwConstant, 0, 0};
    ASSERT_TRUE(SimSetTimeouts(m_dev, &to));
  }

  const std::string m_sPath = PathOf("native");
  SIMDEV m_dev = 0;
  HANDLE m_h = INVALID_HANDLE_VALUE;
};

// The time-out table holds for synchronous and overlapped requests alike.
class NativeTimeoutTest : public NativeDriverTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    NativeDriverTest::SetUp();
    if (GetParam()) m_h = Open(m_sPath + "\\PIPE00", FILE_FLAG_OVERLAPPED);
  }
  CReadResult Read(HANDLE h, DWORD nBytes) { return DeviceTest::Read(h, nBytes, GetParam()); }
  std::future<CReadResult> ReadAsync(HANDLE h, DWORD nBytes) {
    return DeviceTest::ReadAsync(h, nBytes, GetParam());
  }
};

TEST_F(NativeDriverTest, TimeoutRequestsReadAndReplaceTheDriversRecord) {
  COMMTIMEOUTS to{};
  ASSERT_TRUE(SimGetTimeouts(m_dev, &to));
  const COMMTIMEOUTS defaults = {50, 0, 1000, 0, 1000};
  EXPECT_EQ(memcmp(&to, &defaults, sizeof to), 0);

  COMMTIMEOUTS got{};
  DWORD n = 0;
  ASSERT_TRUE(
      DeviceIoControl(m_h, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &got, sizeof got, &n, nullptr));
  EXPECT_EQ(n, 20u);
  EXPECT_EQ(memcmp(&got, &defaults, sizeof got), 0);

  const COMMTIMEOUTS wanted = {MAXDWORD, 0xFFFFFFFE, 7, 8, 9};
  n = 99;
  ASSERT_TRUE(DeviceIoControl(m_h, IOCTL_SERIAL_SET_TIMEOUTS, const_cast<COMMTIMEOUTS *>(&wanted),
                              sizeof wanted, nullptr, 0, &n, nullptr));
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(SimGetTimeouts(m_dev, &to));
  EXPECT_EQ(memcmp(&to, &wanted, sizeof to), 0);

  EXPECT_FALSE(DeviceIoControl(m_h, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &got, 19, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_FALSE(DeviceIoControl(m_h, IOCTL_SERIAL_SET_TIMEOUTS, &got, 19, nullptr, 0, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_FALSE(DeviceIoControl(m_h, 0x001B0004, &got, sizeof got, nullptr, 0, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(NativeDriverTest, PrinterClassDriverRefusesTimeoutRequestsAndPurges) {
  const std::string sPath = PathOf("pcls");
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, sPath);
  HANDLE h = Open(sPath + "\\PIPE00");
  COMMTIMEOUTS to{};
  DWORD n = 0;
  EXPECT_FALSE(
      DeviceIoControl(h, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &to, sizeof to, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_FALSE(
      DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, nullptr, 0, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  Send(dev, "keep");
  EXPECT_FALSE(PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(SimPurgeCount(dev), 0u);
  EXPECT_EQ(SimPendingToHost(dev), 4u);
}

// The printer class requests on either class, into an output buffer of nOut bytes.
struct CClassRequestCase {
  int nClass;
  DWORD dwCode;
  DWORD nOut;
  bool bUnplug;
  DWORD dwError;     // 0: success
  std::string sOut;  // the bytes returned, then a NUL when there is room
};

void PrintTo(const CClassRequestCase &c, std::ostream *pOut) {
  *pOut << (c.nClass == SIM_CLASS_NATIVE ? "native " : "") << std::hex << c.dwCode << std::dec
        << " into " << c.nOut << (c.bUnplug ? " unplugged" : "");
}

class ClassRequestTest : public DeviceTest,
                         public ::testing::WithParamInterface<CClassRequestCase> {};

TEST_P(ClassRequestTest, AnswerIsCutToTheBufferOrRefused) {
  const CClassRequestCase &c = GetParam();
  const std::string sPath = PathOf("req");
  const SIMDEV dev = Plug(c.nClass, sPath);
  ASSERT_TRUE(SimSetDeviceId(dev, "\x00\x08MDL:X;", 8));
  ASSERT_TRUE(SimSetPortStatus(dev, 'S'));
  HANDLE h = Open(sPath + "\\PIPE01");
  ASSERT_TRUE(!c.bUnplug || SimUnplug(dev));
  char ab[16];
  memset(ab, '#', sizeof ab);
  DWORD n = 99;
  SetLastError(0);
  const BOOL bOk = DeviceIoControl(h, c.dwCode, nullptr, 0, ab, c.nOut, &n, nullptr);
  EXPECT_EQ(GetLastError(), c.dwError);
  ASSERT_EQ(bOk != FALSE, c.dwError == 0);
  if (!bOk) return;
  EXPECT_EQ(std::string(ab, n), c.sOut);
  const bool bNul = c.dwCode == IOCTL_USBPRINT_GET_1284_ID && c.sOut.size() < c.nOut;
  EXPECT_EQ(ab[c.sOut.size()], bNul ? '\0' : '#') << "a NUL after an id when there is room";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ClassRequestTest,
    ::testing::Values(CClassRequestCase{SIM_CLASS_PRINTER, IOCTL_USBPRINT_GET_LPT_STATUS, 4, false,
                                        0, "S"},
                      CClassRequestCase{SIM_CLASS_PRINTER, IOCTL_USBPRINT_GET_LPT_STATUS, 0, false,
                                        ERROR_INSUFFICIENT_BUFFER, ""},
                      CClassRequestCase{SIM_CLASS_PRINTER, IOCTL_USBPRINT_GET_1284_ID, 16, false, 0,
                                        std::string("\x00\x08MDL:X;", 8)},
                      CClassRequestCase{SIM_CLASS_PRINTER, IOCTL_USBPRINT_GET_1284_ID, 5, false, 0,
                                        std::string("\x00\x08MDL", 5)},
                      CClassRequestCase{SIM_CLASS_PRINTER, IOCTL_USBPRINT_GET_1284_ID, 1, false,
                                        ERROR_INSUFFICIENT_BUFFER, ""},
                      CClassRequestCase{SIM_CLASS_PRINTER, IOCTL_USBPRINT_GET_1284_ID, 16, true,
                                        ERROR_DEVICE_NOT_CONNECTED, ""},
                      CClassRequestCase{SIM_CLASS_NATIVE, IOCTL_USBPRINT_GET_1284_ID, 16, false,
                                        ERROR_INVALID_FUNCTION, ""}));

TEST_P(NativeTimeoutTest, AllZeroTimeoutsWaitForTheWholeCount) {
  SetTimeouts(0, 0, 0);
  auto read = ReadAsync(m_h, 4);
  ASSERT_TRUE(SimWaitPendingReads(m_dev, 1, kBoundMs));
  Send(m_dev, "ab");
  ASSERT_TRUE(SimWaitDrained(m_dev, kBoundMs));
  EXPECT_EQ(SimPendingReads(m_dev), 1u) << "returned before the count was there";
  Send(m_dev, "cdef");
  const CReadResult r = Await(read);
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(r.sData, "abcd");
  EXPECT_EQ(SimPendingToHost(m_dev), 2u);
}

TEST_P(NativeTimeoutTest, MaxIntervalWithZeroTotalsReturnsAtOnceWithWhatIsThere) {
  SetTimeouts(MAXDWORD, 0, 0);
  CReadResult r = Read(m_h, 10);
  EXPECT_TRUE(r.bOk);
  EXPECT_FALSE(r.bPended);
  EXPECT_EQ(r.sData, "");
  Send(m_dev, "abc");
  EXPECT_EQ(Read(m_h, 2).sData, "ab");
  EXPECT_EQ(Read(m_h, 10).sData, "c");
}

TEST_P(NativeTimeoutTest, FirstByteRuleReturnsWithTheFirstBytesOrAfterTheConstant) {
  SetTimeouts(MAXDWORD, MAXDWORD, 600000);
  Send(m_dev, "ab");
  auto read = ReadAsync(m_h, 10);
  EXPECT_EQ(Await(read).sData, "ab");
  read = ReadAsync(m_h, 10);
  ASSERT_TRUE(SimWaitPendingReads(m_dev, 1, kBoundMs));
  Send(m_dev, "x");
  EXPECT_EQ(Await(read).sData, "x");

  SetTimeouts(MAXDWORD, MAXDWORD, 1);
  const CReadResult r = Read(m_h, 10);
  EXPECT_TRUE(r.bOk) << "a time-out is no error";
  EXPECT_EQ(r.sData, "");
}

TEST_P(NativeTimeoutTest, TotalTimeoutEndsWithAShortCountAsSuccess) {
  SetTimeouts(0, 0, 1);
  Send(m_dev, "ab");
  CReadResult r = Read(m_h, 5);
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(r.sData, "ab");
  SetTimeouts(0, 1, 0);  // 1 ms per byte asked for
  r = Read(m_h, 3);
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(r.sData, "");
}

TEST_P(NativeTimeoutTest, IntervalTimeoutEndsAReadOnceBytesStopComing) {
  SetTimeouts(1, 0, 0);
  auto read = ReadAsync(m_h, 10);
  ASSERT_TRUE(SimWaitPendingReads(m_dev, 1, kBoundMs));
  Send(m_dev, "abc");
  const CReadResult r = Await(read);
  EXPECT_TRUE(r.bOk);
  EXPECT_EQ(r.sData, "abc");
}

TEST_P(NativeTimeoutTest, WriteTotalTimeoutEndsAStalledWriteWithNothingTaken) {
  const COMMTIMEOUTS to = {0, 0, 0, 1, 1};
  ASSERT_TRUE(SimSetTimeouts(m_dev, &to));
  ASSERT_TRUE(SimSetWriteStall(m_dev, TRUE));
  DWORD n = 99;
  EXPECT_TRUE(Write(m_h, "abc", &n, GetParam())) << "a time-out is no error";
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(SimSetWriteStall(m_dev, FALSE));
  EXPECT_EQ(Written(m_dev), "") << "the timed-out write was taken later";
}

INSTANTIATE_TEST_SUITE_P(Requests, NativeTimeoutTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) {
                           return p.param ? "Overlapped" : "Synchronous";
                         });

TEST_F(NativeDriverTest, PurgeCountsAbortsReadsAndClearsInput) {
  SetTimeouts(0, 0, 0);  // the read waits until the purge
  HANDLE hOv = Open(m_sPath, FILE_FLAG_OVERLAPPED);
  HANDLE hEvent = Event();
  OVERLAPPED ov{};
  ov.hEvent = hEvent;
  char ab[8];
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(hOv, ab, sizeof ab, &n, &ov));
  ASSERT_TRUE(PurgeComm(m_h, PURGE_RXABORT));
  EXPECT_FALSE(GetOverlappedResult(hOv, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

  Send(m_dev, "stale");
  ASSERT_TRUE(PurgeComm(m_h, PURGE_RXCLEAR | PURGE_TXCLEAR));
  EXPECT_EQ(SimPendingToHost(m_dev), 0u);
  EXPECT_EQ(SimPurgeCount(m_dev), 2u);
  EXPECT_EQ(SimLastPurgeFlags(m_dev), static_cast<DWORD>(PURGE_RXCLEAR | PURGE_TXCLEAR));
  EXPECT_FALSE(PurgeComm(m_h, 0x10));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SimPurgeCount(m_dev), 2u);
}

TEST_F(NativeDriverTest, EveryFileCallRefusesABadHandle) {
  HANDLE hEvent = Event();
  char ab[4];
  DWORD n = 0;
  OVERLAPPED ov{};
  ov.Internal = STATUS_PENDING;  // a wait on the file itself needs the file
  for (HANDLE hBad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, hEvent}) {
    SetLastError(0);
    EXPECT_FALSE(ReadFile(hBad, ab, sizeof ab, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(WriteFile(hBad, ab, sizeof ab, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(hBad, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(CancelIo(hBad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(CancelIoEx(hBad, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(
        DeviceIoControl(hBad, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, ab, sizeof ab, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(PurgeComm(hBad, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

}  // namespace
