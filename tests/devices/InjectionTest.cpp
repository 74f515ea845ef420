// Injected failures of the device calls: the failure value and error, no
// side effect, and the next call works again.
#include "DeviceTest.h"

namespace {

constexpr DWORD kInjected = 0x2A;  // an error code no device call produces itself

class InjectionTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    m_dev = Plug(SIM_CLASS_NATIVE, m_sPath);
    // Reads end with the first bytes, or never: no time-out within a test.
    const COMMTIMEOUTS to = {MAXDWORD, MAXDWORD, MAXDWORD - 1, 0, 0};
    SimSetTimeouts(m_dev, &to);
    m_h = Open(m_sPath + "\\PIPE00", FILE_FLAG_OVERLAPPED);
    m_ov.hEvent = Event();
  }
  // The next call of nFn fails with kInjected.
  static void FailNext(int nFn) { SimInjectFailure(nFn, 0, 1, kInjected); }
  static void ExpectInjected(BOOL bResult) {
    EXPECT_FALSE(bResult);
    EXPECT_EQ(GetLastError(), kInjected);
  }

  const std::string m_sPath = PathOf("inject");
  SIMDEV m_dev = 0;
  HANDLE m_h = INVALID_HANDLE_VALUE;
  OVERLAPPED m_ov{};
  char m_ab[8] = {};
};

TEST_F(InjectionTest, CreateFileAFailsWithoutOpening) {
  const DWORD nHandles = SimOpenHandleCount();
  FailNext(SIM_FN_CreateFileA);
  EXPECT_EQ(Open(m_sPath), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), kInjected);
  EXPECT_EQ(SimOpenHandleCount(), nHandles);
  EXPECT_NE(Open(m_sPath), INVALID_HANDLE_VALUE);
}

TEST_F(InjectionTest, ReadFileFailsWithoutQueueingOrTakingBytes) {
  Send(m_dev, "ab");
  FailNext(SIM_FN_ReadFile);
  DWORD n = 0;
  ExpectInjected(ReadFile(m_h, m_ab, sizeof m_ab, &n, &m_ov));
  EXPECT_EQ(SimPendingToHost(m_dev), 2u);
  ASSERT_TRUE(ReadFile(m_h, m_ab, sizeof m_ab, &n, &m_ov));
  EXPECT_EQ(n, 2u);
}

TEST_F(InjectionTest, WriteFileFailsWithoutWriting) {
  FailNext(SIM_FN_WriteFile);
  DWORD n = 0;
  ExpectInjected(WriteFile(m_h, "ab", 2, &n, &m_ov));
  EXPECT_EQ(Written(m_dev), "");
  EXPECT_TRUE(WriteFile(m_h, "ab", 2, &n, &m_ov));
  EXPECT_EQ(Written(m_dev), "ab");
}

TEST_F(InjectionTest, GetOverlappedResultAndCancelsFailWithoutEffect) {
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(m_h, m_ab, sizeof m_ab, &n, &m_ov));
  FailNext(SIM_FN_CancelIo);
  ExpectInjected(CancelIo(m_h));
  FailNext(SIM_FN_CancelIoEx);
  ExpectInjected(CancelIoEx(m_h, &m_ov));
  EXPECT_EQ(SimPendingReads(m_dev), 1u);
  HANDLE hSelf = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
  FailNext(SIM_FN_CancelSynchronousIo);
  ExpectInjected(CancelSynchronousIo(hSelf));
  CloseHandle(hSelf);
  Send(m_dev, "z");
  FailNext(SIM_FN_GetOverlappedResult);
  ExpectInjected(GetOverlappedResult(m_h, &m_ov, &n, TRUE));
  ASSERT_TRUE(GetOverlappedResult(m_h, &m_ov, &n, TRUE));
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(CancelIo(m_h));
}

TEST_F(InjectionTest, DeviceIoControlAndPurgeCommFailWithoutReachingTheDriver) {
  const COMMTIMEOUTS to = {1, 2, 3, 4, 5};
  DWORD n = 0;
  FailNext(SIM_FN_DeviceIoControl);
  ExpectInjected(DeviceIoControl(m_h, IOCTL_SERIAL_SET_TIMEOUTS, const_cast<COMMTIMEOUTS *>(&to),
                                 sizeof to, nullptr, 0, &n, nullptr));
  COMMTIMEOUTS now{};
  ASSERT_TRUE(SimGetTimeouts(m_dev, &now));
  EXPECT_EQ(now.ReadIntervalTimeout, MAXDWORD);
  EXPECT_TRUE(DeviceIoControl(m_h, IOCTL_SERIAL_SET_TIMEOUTS, const_cast<COMMTIMEOUTS *>(&to),
                              sizeof to, nullptr, 0, &n, nullptr));

  FailNext(SIM_FN_PurgeComm);
  ExpectInjected(PurgeComm(m_h, PURGE_RXCLEAR));
  EXPECT_EQ(SimPurgeCount(m_dev), 0u);
  EXPECT_TRUE(PurgeComm(m_h, PURGE_RXCLEAR));
  EXPECT_EQ(SimPurgeCount(m_dev), 1u);
}

TEST_F(InjectionTest, SetupDiCallsFailWithTheirFailureValues) {
  const GUID &guid = g_guidTestNative;
  const DWORD dwFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
  const DWORD nOpen = SimLeakReport(nullptr, 0, 0);
  FailNext(SIM_FN_SetupDiGetClassDevsA);
  EXPECT_EQ(SetupDiGetClassDevsA(&guid, nullptr, nullptr, dwFlags), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), kInjected);
  EXPECT_EQ(SimLeakReport(nullptr, 0, 0), nOpen) << "a set was made";

  HDEVINFO hSet = SetupDiGetClassDevsA(&guid, nullptr, nullptr, dwFlags);
  ASSERT_NE(hSet, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data;
  data.cbSize = sizeof data;
  FailNext(SIM_FN_SetupDiEnumDeviceInterfaces);
  ExpectInjected(SetupDiEnumDeviceInterfaces(hSet, nullptr, &guid, 0, &data));
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(hSet, nullptr, &guid, 0, &data));
  DWORD nRequired = 0;
  FailNext(SIM_FN_SetupDiGetDeviceInterfaceDetailA);
  ExpectInjected(SetupDiGetDeviceInterfaceDetailA(hSet, &data, nullptr, 0, &nRequired, nullptr));
  EXPECT_EQ(nRequired, 0u);
  SP_DEVINFO_DATA dev{sizeof dev, {}, 0, 0};
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(hSet, &data, nullptr, 0, &nRequired, &dev));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  DWORD n = 0;
  FailNext(SIM_FN_SetupDiGetDeviceRegistryPropertyA);
  ExpectInjected(SetupDiGetDeviceRegistryPropertyA(hSet, &dev, SPDRP_MFG, nullptr, nullptr, 0, &n));
  FailNext(SIM_FN_SetupDiGetDeviceInstanceIdA);
  ExpectInjected(SetupDiGetDeviceInstanceIdA(hSet, &dev, nullptr, 0, &n));
  EXPECT_EQ(n, 0u);
  DEVINST dn = 0;  // the configuration manager's calls return the code instead
  SimInjectFailure(SIM_FN_CM_Get_Parent, 0, 1, CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(CM_Get_Parent(&dn, dev.DevInst, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  EXPECT_EQ(dn, 0u);
  FailNext(SIM_FN_SetupDiDestroyDeviceInfoList);
  ExpectInjected(SetupDiDestroyDeviceInfoList(hSet));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(hSet)) << "the failed destroy freed the set";
}

}  // namespace
