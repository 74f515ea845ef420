// SetupAPI over the simulated printers: the snapshot a set takes, the
// enumeration, the detail record's sizes and cbSize rules, bad sets; the
// identity each printer reports and the device nodes above it.
#include <gmock/gmock.h>

#include <cstddef>
#include <vector>

#include "DeviceTest.h"
#include "Identity.h"

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

// ---- Identity ----

struct SIdentityCase {
  const char *pszName;
  int nClass;
  const char *pszIds;      // of the interface path
  const char *pszListed;   // the pattern ListIdentities matches
  const char *apszSet[4];  // SimSetIdentity's texts; none: the defaults
};

void PrintTo(const SIdentityCase &c, std::ostream *pOut) { *pOut << c.pszName; }

class SetupApiIdentityTest : public SetupApiTest,
                             public ::testing::WithParamInterface<SIdentityCase> {};

TEST_P(SetupApiIdentityTest, ListingReportsThePrinterAndTheNodesAboveIt) {
  const SIdentityCase &c = GetParam();
  const SIMDEV dev = Plug(c.nClass, std::string("\\\\?\\usb#") + c.pszIds + "#x#{0}");
  if (c.apszSet[3] != nullptr || c.apszSet[2] != nullptr) {
    ASSERT_TRUE(SimSetIdentity(dev, c.apszSet[0], c.apszSet[1], c.apszSet[2], c.apszSet[3]));
  }
  const GUID &guid =
      c.nClass == SIM_CLASS_NATIVE ? g_guidTestNative : SIM_GUID_DEVINTERFACE_USBPRINT;
  EXPECT_THAT(ListIdentities(guid), ::testing::ElementsAre(::testing::MatchesRegex(c.pszListed)));
}

// No serial: Windows names the device by its port. A composite device's
// interface node lies between; the vendor's driver binds to the device.
INSTANTIATE_TEST_SUITE_P(
    Printers, SetupApiIdentityTest,
    ::testing::Values(SIdentityCase{"PrinterClassDefaults",
                                    SIM_CLASS_PRINTER,
                                    "vid_04b8&pid_0e15",
                                    R"(USBPRINT\\VELTOSIMULATED_PRINTER\\7&[0-9A-F]{8}&0&USB001 < )"
                                    R"(USB\\VID_04B8&PID_0E15\\SIM[0-9]{4} < HTREE\\ROOT\\0 \| )"
                                    R"(mfg=Velto desc=Simulated printer loc=1-[0-9]+)",
                                    {}},
                      SIdentityCase{
                          "CompositeWithoutSerial",
                          SIM_CLASS_PRINTER,
                          "vid_04b8&pid_0e15&mi_01",
                          R"(USBPRINT\\ACME_COLABEL2\\7&[0-9A-F]{8}&0&USB001 < )"
                          R"(USB\\VID_04B8&PID_0E15&MI_01\\6&[0-9A-F]{8}&0&0001 < )"
                          R"(USB\\VID_04B8&PID_0E15\\5&[0-9A-F]{8}&0&3 < HTREE\\ROOT\\0 \| )"
                          R"(mfg=Acme Co desc=Label-2 loc=2-1.3)",
                          {"Acme Co", "Label-2", nullptr, "2-1.3"}},
                      SIdentityCase{"NativeWithoutTextsOrIds",
                                    SIM_CLASS_NATIVE,
                                    "x",
                                    R"(USB\\VID_0000&PID_0000\\AB-9 < HTREE\\ROOT\\0 \|)",
                                    {nullptr, nullptr, "ab-9", nullptr}}),
    [](const ::testing::TestParamInfo<SIdentityCase> &param) { return param.param.pszName; });

TEST_F(SetupApiTest, IdentityCallsCheckSizesAndRecords) {
  Plug(SIM_CLASS_PRINTER, PathOf("sizes"));
  HDEVINFO hSet = SetupDiGetClassDevsA(&SIM_GUID_DEVINTERFACE_USBPRINT, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA itf{sizeof itf, {}, 0, 0};
  SP_DEVINFO_DATA dev{sizeof dev, {}, 0, 0};
  DWORD n = 0;
  SetupDiEnumDeviceInterfaces(hSet, nullptr, &SIM_GUID_DEVINTERFACE_USBPRINT, 0, &itf);
  SetupDiGetDeviceInterfaceDetailA(hSet, &itf, nullptr, 0, &n, &dev);
  char sz[8] = "xxxxxxx";
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(hSet, &dev, SPDRP_MFG, nullptr,
                                                 reinterpret_cast<PBYTE>(sz), 5, &n));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(n, 6u);  // "Velto" and its terminator
  EXPECT_STREQ(sz, "xxxxxxx") << "wrote into a buffer too small";
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(hSet, &dev, sz, sizeof sz, &n));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::string sId(n - 1, '\0');
  ASSERT_EQ(CM_Get_Device_IDA(dev.DevInst, &sId[0], n - 1, 0), static_cast<CONFIGRET>(CR_SUCCESS))
      << "an id that fills the buffer exactly comes back without its terminator";
  EXPECT_EQ(CM_Get_Device_IDA(dev.DevInst, sz, 4, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  EXPECT_EQ(std::string(sz), "USBPxxx");
  EXPECT_EQ(CM_Get_Parent(&dev.DevInst, 0x7FFFFFFF, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
  EXPECT_EQ(dev.DevInst, static_cast<DEVINST>(-1)) << "written before the node is looked up";
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(hSet));
}

}  // namespace
