// What a program reads about each present interface of a class, by the calls
// a listing makes: SetupAPI's instance id and properties of the device
// element, and the instance ids of the device nodes from it up to the root.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "velto/platform.h"

struct CListedDevice {
  std::string sInstanceId;
  std::vector<std::string> chain;      // the interface's node first; "error" where a call failed
  std::map<DWORD, std::string> props;  // the present ones of those below
};

inline std::vector<CListedDevice> ListDevices(const GUID &guid) {
  std::vector<CListedDevice> devices;
  HDEVINFO hSet =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA itf{sizeof itf, {}, 0, 0};
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(hSet, nullptr, &guid, i, &itf); ++i) {
    SP_DEVINFO_DATA dev{sizeof dev, {}, 0, 0};
    DWORD n = 0;
    char sz[MAX_DEVICE_ID_LEN];
    CListedDevice listed;
    // The size query names the device element as well.
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(hSet, &itf, nullptr, 0, &n, &dev));
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(hSet, &dev, sz, sizeof sz, nullptr));
    listed.sInstanceId = sz;
    CONFIGRET cr = CR_SUCCESS;
    for (DEVINST dn = dev.DevInst; cr == CR_SUCCESS && listed.chain.size() < 8;
         cr = CM_Get_Parent(&dn, dn, 0)) {
      listed.chain.push_back(CM_Get_Device_IDA(dn, sz, sizeof sz, 0) == CR_SUCCESS ? sz : "error");
    }
    if (cr != CR_NO_SUCH_DEVNODE) listed.chain.push_back("error");
    for (DWORD dwProperty : {SPDRP_MFG, SPDRP_DEVICEDESC, SPDRP_LOCATION_INFORMATION,
                             SPDRP_FRIENDLYNAME, SPDRP_LOCATION_PATHS}) {
      DWORD dwType = 0;
      if (SetupDiGetDeviceRegistryPropertyA(hSet, &dev, dwProperty, &dwType, nullptr, 0, &n) ||
          GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << dwProperty;
        continue;
      }
      std::string s(n, 'x');
      EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(hSet, &dev, dwProperty, &dwType,
                                                    reinterpret_cast<PBYTE>(&s[0]), n, nullptr));
      EXPECT_EQ(dwType, static_cast<DWORD>(REG_SZ));
      listed.props[dwProperty] = s.c_str();
    }
    devices.push_back(listed);
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(hSet));
  return devices;
}
