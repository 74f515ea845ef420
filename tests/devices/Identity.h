// What a listing reads about each present interface of a class, in one line:
// the instance ids from the interface's device node up to the root, then the
// properties present. "<node> < <parent> < ... | mfg=... desc=... loc=...".
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velto/platform.h"

inline std::vector<std::string> ListIdentities(const GUID &guid) {
  std::vector<std::string> listed;
  HDEVINFO hSet =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA itf{sizeof itf, {}, 0, 0};
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(hSet, nullptr, &guid, i, &itf); ++i) {
    SP_DEVINFO_DATA dev{sizeof dev, {}, 0, 0};
    DWORD n = 0;
    char sz[MAX_DEVICE_ID_LEN], szId[MAX_DEVICE_ID_LEN];
    SetupDiGetDeviceInterfaceDetailA(hSet, &itf, nullptr, 0, &n, &dev);  // names the element
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(hSet, &dev, szId, sizeof szId, nullptr));
    std::string s, sSep;
    CONFIGRET cr = CR_SUCCESS;
    for (DEVINST dn = dev.DevInst; cr == CR_SUCCESS; cr = CM_Get_Parent(&dn, dn, 0), sSep = " < ") {
      s += sSep + (CM_Get_Device_IDA(dn, sz, sizeof sz, 0) == CR_SUCCESS ? sz : "error");
    }
    EXPECT_EQ(s.substr(0, s.find(' ')), szId) << "SetupAPI's id is the node's";
    s += cr == CR_NO_SUCH_DEVNODE ? " |" : " | error";
    const DWORD adwProperty[] = {SPDRP_MFG, SPDRP_DEVICEDESC, SPDRP_LOCATION_INFORMATION,
                                 SPDRP_FRIENDLYNAME, SPDRP_LOCATION_PATHS};
    const char *const apszLabel[] = {" mfg=", " desc=", " loc=", " name=", " paths="};
    for (int k = 0; k < 5; ++k) {
      DWORD dwType = 0;
      if (!SetupDiGetDeviceRegistryPropertyA(hSet, &dev, adwProperty[k], &dwType, nullptr, 0, &n) &&
          GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        std::string sValue(n, '\0');
        EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(
            hSet, &dev, adwProperty[k], &dwType, reinterpret_cast<PBYTE>(&sValue[0]), n, nullptr));
        s += apszLabel[k] + std::string(sValue.c_str()) + (dwType == REG_SZ ? "" : " (not REG_SZ)");
      } else {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << apszLabel[k];
      }
    }
    listed.push_back(s);
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(hSet));
  return listed;
}
