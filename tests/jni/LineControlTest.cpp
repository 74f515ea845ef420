// Time-outs, purge, last error and the natives that do nothing for a
// printer-class printer.
#include "NativeTest.h"

using ::testing::ElementsAre;

namespace {

class LineControlTest : public CNativeTest {
 protected:
  void SetUp() override {
    CNativeTest::SetUp();
    m_dev = PlugNative();
    ASSERT_NE(m_dev, 0);
    ASSERT_EQ(InitPipe(kRead), USB_TYPE_NATIVE);
    m_hRead = m_jni.PortField("hReadPort");
  }
  void TearDown() override {
    g_UsbComm.m_nUsbType = USB_TYPE_NATIVE;
    EXPECT_EQ(Close(m_hRead), 0);
    CNativeTest::TearDown();
  }

  jint GetTimeout(jint nHandle) {
    return Java_com_velto_printer_UsbPort_usbGetCommTimeout(Env(), m_jni.Self(), nHandle);
  }
  jint SetTimeouts(jint nHandle, jint a, jint b, jint c, jint d, jint e) {
    return Java_com_velto_printer_UsbPort_usbSetCommTimeout(Env(), m_jni.Self(), nHandle, a, b, c,
                                                            d, e);
  }
  jint Purge(jint nHandle) {
    return Java_com_velto_printer_UsbPort_usbPurgeRequest(Env(), m_jni.Self(), nHandle);
  }
  COMMTIMEOUTS DriverTimeouts() {
    COMMTIMEOUTS timeouts = {};
    EXPECT_TRUE(SimGetTimeouts(m_dev, &timeouts));
    return timeouts;
  }
  static std::vector<DWORD> Fields(const COMMTIMEOUTS &t) {
    return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
            t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
  }

  SIMDEV m_dev = 0;
  jint m_hRead = 0;
};

TEST_F(LineControlTest, QueryReturnsTheReadTotalConstant) {
  COMMTIMEOUTS timeouts = {1, 2, 3000, 4, 5};
  ASSERT_TRUE(SimSetTimeouts(m_dev, &timeouts));
  EXPECT_EQ(GetTimeout(m_hRead), 3000);
  timeouts.ReadTotalTimeoutConstant = 0x80000005u;
  ASSERT_TRUE(SimSetTimeouts(m_dev, &timeouts));
  EXPECT_EQ(GetTimeout(m_hRead), (jint)0x80000005u);
  EXPECT_EQ(GetTimeout(m_hRead + 4000), ERROR_INVALID_HANDLE);
}

TEST_F(LineControlTest, SetMergesArgumentsIntoUnprotectedFields) {
  COMMTIMEOUTS timeouts = {10, 20, 30, 40, 50};
  ASSERT_TRUE(SimSetTimeouts(m_dev, &timeouts));
  SetLastError(0);
  EXPECT_EQ(SetTimeouts(m_hRead, -1, -1, -1, -1, -1), 0);
  EXPECT_THAT(Fields(DriverTimeouts()),
              ElementsAre(MAXDWORD, MAXDWORD, MAXDWORD, MAXDWORD, MAXDWORD));

  // A field the driver reports as 0xFFFFFFFE keeps it, whatever the argument;
  // an argument of -2 is stored like any other.
  timeouts = {0xFFFFFFFEu, 1, 0xFFFFFFFEu, 1, 1};
  ASSERT_TRUE(SimSetTimeouts(m_dev, &timeouts));
  EXPECT_EQ(SetTimeouts(m_hRead, 7, -2, 9, 0, 100), 0);
  EXPECT_THAT(Fields(DriverTimeouts()),
              ElementsAre(0xFFFFFFFEu, 0xFFFFFFFEu, 0xFFFFFFFEu, 0u, 100u));
}

TEST_F(LineControlTest, SetAfterFailedQueryStartsFromZeros) {
  // Were the record left as it was, the protected marker the driver holds
  // (or stack garbage) would decide; from zeros every field takes its value.
  COMMTIMEOUTS timeouts = {0xFFFFFFFEu, 0xFFFFFFFEu, 0xFFFFFFFEu, 0xFFFFFFFEu, 0xFFFFFFFEu};
  ASSERT_TRUE(SimSetTimeouts(m_dev, &timeouts));
  SimInjectFailure(SIM_FN_DeviceIoControl, 0, 1, ERROR_GEN_FAILURE);
  SetTimeouts(m_hRead, 1, 2, 3, 4, 5);
  EXPECT_THAT(Fields(DriverTimeouts()), ElementsAre(1u, 2u, 3u, 4u, 5u));
  EXPECT_EQ(SimCallCount(SIM_FN_DeviceIoControl), 2u);
}

TEST_F(LineControlTest, SetReportsTheErrorOfTheRequest) {
  EXPECT_EQ(SetTimeouts(m_hRead + 4000, 1, 2, 3, 4, 5), ERROR_INVALID_HANDLE);
}

TEST_F(LineControlTest, PurgeAbortsAndClearsTheInput) {
  SetLastError(0);
  EXPECT_EQ(Purge(m_hRead), 0);
  EXPECT_EQ(SimPurgeCount(m_dev), 1u);
  EXPECT_EQ(SimLastPurgeFlags(m_dev), 10u);
  EXPECT_EQ(Purge(m_hRead + 4000), ERROR_INVALID_HANDLE);
}

// Success leaves the thread's last error alone on Windows: a successful set
// or purge must not return what an earlier call left (317 here).
TEST_F(LineControlTest, SuccessIsZeroWhateverAnEarlierCallLeft) {
  const jint nUnknownCode = 0x7FFF0001;
  Java_com_velto_printer_UsbPort_usbGetErrorString(Env(), m_jni.Self(), nUnknownCode);
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(SetTimeouts(m_hRead, 1, 2, 3, 4, 5), 0);
  SetLastError(ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(Purge(m_hRead), 0);
}

TEST_F(LineControlTest, PrinterClassLeavesTheDeviceAlone) {
  g_UsbComm.m_nUsbType = USB_TYPE_PRINTER_CLASS;
  EXPECT_EQ(GetTimeout(m_hRead), 1);
  EXPECT_EQ(SetTimeouts(m_hRead, 1, 2, 3, 4, 5), 1);
  EXPECT_EQ(Purge(m_hRead), 1);
  EXPECT_EQ(SimCallCount(SIM_FN_DeviceIoControl), 0u);
  EXPECT_EQ(SimCallCount(SIM_FN_PurgeComm), 0u);
}

TEST_F(LineControlTest, LastErrorIsTheThreadsOwn) {
  SetLastError(1234);
  EXPECT_EQ(Java_com_velto_printer_UsbPort_usbGetLastError(Env(), m_jni.Self()), 1234);
  ClearLines();
  EXPECT_EQ(Java_com_velto_printer_UsbPort_usbGetLastError(Env(), m_jni.Self()), 1234);
  EXPECT_TRUE(Traces().empty());
}

TEST_F(LineControlTest, NoBytesAvailableWithoutSession) {
  ClearLines();
  EXPECT_EQ(Java_com_velto_printer_UsbPort_usbGetBytesAvailable(Env(), m_jni.Self()), 0);
  EXPECT_THAT(Traces(), ElementsAre("usbGetBytesAvailable Entry\n"));
}

}  // namespace
