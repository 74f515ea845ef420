// SetupAPI over the simulated printers: the snapshot a set takes, the
// enumeration, the detail record's sizes and cbSize rules, bad sets.
#include <cstddef>
#include <vector>

#include "DeviceTest.h"

#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif

namespace {

static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "fixed part as on 32-bit Windows");

class SetupApiTest : public DeviceTest {
 protected:
  // Paths of the interfaces a set lists for guid, or "error N" entries.
  std::vector<std::string> List(const GUID &guid,
                                DWORD dwFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) {
    std::vector<std::string> paths;
    HDEVINFO hSet = SetupDiGetClassDevsA(&guid, nullptr, nullptr, dwFlags);
    EXPECT_NE(hSet, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(hSet, nullptr, &guid, i, &data); ++i) {
      paths.push_back(Detail(hSet, &data));
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(hSet));
    return paths;
  }
  static std::string Detail(HDEVINFO hSet, SP_DEVICE_INTERFACE_DATA *pData) {
    DWORD nRequired = 0;
    SetupDiGetDeviceInterfaceDetailA(hSet, pData, nullptr, 0, &nRequired, nullptr);
    std::vector<char> block(nRequired);
    auto *pDetail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(hSet, pData, pDetail, nRequired, nullptr, nullptr)) {
      return "error " + std::to_string(GetLastError());
    }
    return pDetail->DevicePath;
  }
};

TEST_F(SetupApiTest, SetListsPresentInterfacesOfItsClassInPlugOrder) {
  const SIMDEV devB = Plug(SIM_CLASS_PRINTER, PathOf("b"));
  Plug(SIM_CLASS_NATIVE, PathOf("native"));
  const SIMDEV devA = Plug(SIM_CLASS_PRINTER, PathOf("a"));
  EXPECT_EQ(List(SIM_GUID_DEVINTERFACE_USBPRINT),
            (std::vector<std::string>{PathOf("b"), PathOf("a")}));
  EXPECT_EQ(List(g_guidTestNative), (std::vector<std::string>{PathOf("native")}));

  ASSERT_TRUE(SimUnplug(devB));
  EXPECT_EQ(List(SIM_GUID_DEVINTERFACE_USBPRINT), (std::vector<std::string>{PathOf("a")}));
  // Without DIGCF_PRESENT the removed device's interface stays registered.
  EXPECT_EQ(List(SIM_GUID_DEVINTERFACE_USBPRINT, DIGCF_DEVICEINTERFACE),
            (std::vector<std::string>{PathOf("b"), PathOf("a")}));
  ASSERT_TRUE(SimReplug(devB));
  EXPECT_EQ(List(SIM_GUID_DEVINTERFACE_USBPRINT),
            (std::vector<std::string>{PathOf("b"), PathOf("a")}));
  (void)devA;
}

TEST_F(SetupApiTest, SetIsASnapshot) {
  const SIMDEV dev = Plug(SIM_CLASS_PRINTER, PathOf("snap"));
  HDEVINFO hSet = SetupDiGetClassDevsA(&SIM_GUID_DEVINTERFACE_USBPRINT, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(hSet, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SimUnplug(dev));
  Plug(SIM_CLASS_PRINTER, PathOf("late"));
  SP_DEVICE_INTERFACE_DATA data;
  data.cbSize = sizeof data;
  ASSERT_TRUE(
      SetupDiEnumDeviceInterfaces(hSet, nullptr, &SIM_GUID_DEVINTERFACE_USBPRINT, 0, &data));
  EXPECT_EQ(Detail(hSet, &data), PathOf("snap"));
  EXPECT_FALSE(
      SetupDiEnumDeviceInterfaces(hSet, nullptr, &SIM_GUID_DEVINTERFACE_USBPRINT, 1, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(hSet));
}

TEST_F(SetupApiTest, DetailReportsItsSizeAndChecksTheRecords) {
  const std::string sPath = PathOf("detail");
  Plug(SIM_CLASS_PRINTER, sPath);
  HDEVINFO hSet = SetupDiGetClassDevsA(&SIM_GUID_DEVINTERFACE_USBPRINT, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data;
  data.cbSize = sizeof data + 1;
  EXPECT_FALSE(
      SetupDiEnumDeviceInterfaces(hSet, nullptr, &SIM_GUID_DEVINTERFACE_USBPRINT, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  data.cbSize = sizeof data;
  ASSERT_TRUE(
      SetupDiEnumDeviceInterfaces(hSet, nullptr, &SIM_GUID_DEVINTERFACE_USBPRINT, 0, &data));

  DWORD nRequired = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(hSet, &data, nullptr, 0, &nRequired, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  const DWORD nExpected =
      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + sPath.size() + 1;
  EXPECT_EQ(nRequired, nExpected);

  std::vector<char> block(nRequired + 8, 'x');
  auto *pDetail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
  pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_FALSE(
      SetupDiGetDeviceInterfaceDetailA(hSet, &data, pDetail, nRequired - 1, &nRequired, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(block[nExpected - 1], 'x') << "wrote into a buffer too small";
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(hSet, &data, nullptr, nRequired, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  for (DWORD cbWrong : {0u, 4u, 6u, 8u}) {
    pDetail->cbSize = cbWrong;
    EXPECT_FALSE(
        SetupDiGetDeviceInterfaceDetailA(hSet, &data, pDetail, nRequired, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << cbWrong;
  }
  pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(hSet, &data, pDetail, nRequired, nullptr, nullptr));
  EXPECT_EQ(std::string(pDetail->DevicePath), sPath);
  EXPECT_EQ(block[nExpected], 'x') << "wrote past the path";

  data.cbSize = sizeof data - 1;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(hSet, &data, pDetail, nRequired, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(hSet));
}

TEST_F(SetupApiTest, UnsupportedFlagsAndBadSetsAreRefused) {
  for (DWORD dwFlags :
       {0u, static_cast<DWORD>(DIGCF_PRESENT),
        static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE | DIGCF_ALLCLASSES)}) {
    EXPECT_EQ(SetupDiGetClassDevsA(&SIM_GUID_DEVINTERFACE_USBPRINT, nullptr, nullptr, dwFlags),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS)) << dwFlags;
  }
  HDEVINFO hSet = SetupDiGetClassDevsA(&SIM_GUID_DEVINTERFACE_USBPRINT, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_TRUE(SetupDiDestroyDeviceInfoList(hSet));
  int nNotASet = 0;
  SP_DEVICE_INTERFACE_DATA data;
  data.cbSize = sizeof data;
  DWORD n = 0;
  for (HDEVINFO hBad : {hSet, INVALID_HANDLE_VALUE, static_cast<HDEVINFO>(&nNotASet)}) {
    EXPECT_FALSE(
        SetupDiEnumDeviceInterfaces(hBad, nullptr, &SIM_GUID_DEVINTERFACE_USBPRINT, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(hBad, &data, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(hBad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

TEST_F(SetupApiTest, SetLeftUndestroyedIsReportedAsALeak) {
  HDEVINFO hSet = SetupDiGetClassDevsA(&SIM_GUID_DEVINTERFACE_USBPRINT, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  char szReport[256];
  EXPECT_EQ(SimLeakReport(szReport, sizeof szReport, 0), 1u);
  EXPECT_NE(std::string(szReport).find("device information set"), std::string::npos) << szReport;
  EXPECT_EQ(SimOpenHandleCount(), 0u) << "a set is no kernel handle";
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(hSet));
}

}  // namespace
