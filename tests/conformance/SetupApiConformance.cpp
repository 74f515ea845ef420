// The identity calls of a printer listing where they need no device: an
// interface class nobody registers lists nothing; bad sets, records and
// nodes are refused. Wine's configuration manager answers CR_NO_SUCH_DEVNODE
// to whatever it does not serve; the case records it.
#include <gtest/gtest.h>

#include "TestDevice.h"

namespace {

const GUID kNobodysClass = {
    0x5B1E2C47, 0x9D03, 0x4A6F, {0xB2, 0x18, 0x6C, 0x0E, 0x91, 0x3D, 0x7A, 0x54}};

TEST(SetupApiConformance, NothingListedAndBadSetsRecordsAndNodesRefused) {
  HDEVINFO hSet =
      SetupDiGetClassDevsA(&kNobodysClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA itf{sizeof itf, {}, 0, 0};
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(hSet, nullptr, &kNobodysClass, 0, &itf));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  char sz[MAX_DEVICE_ID_LEN];
  DWORD n = 0;
  // No record, one of the wrong size, one no set filled; no set, a bad one.
  SP_DEVINFO_DATA aBad[2] = {{0, {}, 0, 0}, {sizeof(SP_DEVINFO_DATA), {}, 0, 0}};
  for (PSP_DEVINFO_DATA pBad : {static_cast<PSP_DEVINFO_DATA>(nullptr), &aBad[0], &aBad[1]}) {
    for (HDEVINFO h : {hSet, static_cast<HDEVINFO>(nullptr), INVALID_HANDLE_VALUE}) {
      const DWORD dwWanted = h == hSet ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
      EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(h, pBad, SPDRP_MFG, nullptr, nullptr, 0, &n));
      EXPECT_EQ(GetLastError(), dwWanted);
      EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(h, pBad, sz, sizeof sz, &n));
      EXPECT_EQ(GetLastError(), dwWanted);
    }
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(hSet));
  const bool bWine = conformance::RunningOnWine();
  EXPECT_EQ(CM_Get_Device_IDA(0, sz, sizeof sz, 0),
            bWine ? CR_NO_SUCH_DEVNODE : CR_INVALID_DEVNODE);
  EXPECT_EQ(CM_Get_Parent(nullptr, 1, 0), bWine ? CR_NO_SUCH_DEVNODE : CR_INVALID_POINTER);
}

}  // namespace
