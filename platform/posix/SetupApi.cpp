// SetupAPI over the printers of the provider in charge: device information
// sets that snapshot the interfaces of one interface class, their
// enumeration and the interface paths.
#include <cstring>
#include <map>
#include <memory>

#include "Device.h"

#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif

namespace emu {
namespace {

constexpr DWORD kSpintActive = 0x00000001;  // SPINT_ACTIVE
constexpr DWORD kSupportedFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
// The detail record's fixed part: cbSize and the first path character.
constexpr DWORD kDetailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
constexpr DWORD kDetailPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

// A set is a plain heap object, not a kernel handle; the registry makes a
// stale or made-up pointer fail with ERROR_INVALID_HANDLE instead of being
// followed.
class CDevInfoSet {
 public:
  GUID m_guid;
  DWORD m_dwFlags;
  std::vector<CInterface> m_interfaces;
};

std::map<const void *, std::unique_ptr<CDevInfoSet>> &Sets() {
  static auto *s_pSets = new std::map<const void *, std::unique_ptr<CDevInfoSet>>;
  return *s_pSets;
}

CDevInfoSet *LookupSet(HDEVINFO hSet) {
  auto it = Sets().find(hSet);
  return it == Sets().end() ? nullptr : it->second.get();
}

bool SameGuid(const GUID &a, const GUID &b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

// The interface an SP_DEVICE_INTERFACE_DATA of this set refers to (its
// Reserved field holds the index + 1), or null.
const CInterface *InterfaceOf(const CDevInfoSet &set, const SP_DEVICE_INTERFACE_DATA &data) {
  if (data.Reserved == 0 || data.Reserved > set.m_interfaces.size()) return nullptr;
  return &set.m_interfaces[data.Reserved - 1];
}

}  // namespace

DWORD DeviceInfoSetCount() { return static_cast<DWORD>(Sets().size()); }

std::string DescribeDeviceInfoSets() {
  std::string s;
  for (const auto &entry : Sets()) {
    char sz[96];
    snprintf(sz, sizeof sz, "device information set %p (%zu interfaces) not destroyed\n",
             entry.first, entry.second->m_interfaces.size());
    s += sz;
  }
  return s;
}

}  // namespace emu

using namespace emu;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
  if (InjectedFailure(SIM_FN_SetupDiGetClassDevsA)) return INVALID_HANDLE_VALUE;
  if ((Flags & DIGCF_DEVICEINTERFACE) == 0 || (Flags & ~kSupportedFlags) != 0) {
    return Fail(INVALID_HANDLE_VALUE, ERROR_INVALID_FLAGS);
  }
  // An enumerator (a device instance filter) is not emulated.
  if (ClassGuid == nullptr || Enumerator != nullptr) {
    return Fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
  }
  auto pSet = std::make_unique<CDevInfoSet>();
  pSet->m_guid = *ClassGuid;
  pSet->m_dwFlags = Flags;
  Guard lock(KernelLock());
  ActiveProvider().ListInterfaces(lock, *ClassGuid, (Flags & DIGCF_PRESENT) != 0,
                                  &pSet->m_interfaces);
  HDEVINFO hSet = pSet.get();
  Sets().emplace(hSet, std::move(pSet));
  return hSet;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  if (InjectedFailure(SIM_FN_SetupDiEnumDeviceInterfaces)) return FALSE;
  Guard lock(KernelLock());
  const CDevInfoSet *pSet = LookupSet(DeviceInfoSet);
  if (pSet == nullptr) return Fail(FALSE, ERROR_INVALID_HANDLE);
  // Enumerating the interfaces of one device element is not emulated.
  if (InterfaceClassGuid == nullptr || DeviceInfoData != nullptr ||
      DeviceInterfaceData == nullptr) {
    return Fail(FALSE, ERROR_INVALID_PARAMETER);
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(FALSE, ERROR_INVALID_USER_BUFFER);
  }
  DWORD nSeen = 0;
  for (size_t i = 0; i < pSet->m_interfaces.size(); ++i) {
    const CInterface &itf = pSet->m_interfaces[i];
    if (!SameGuid(itf.m_guid, *InterfaceClassGuid)) continue;
    if (nSeen++ == MemberIndex) {
      DeviceInterfaceData->InterfaceClassGuid = itf.m_guid;
      DeviceInterfaceData->Flags = itf.m_bActive ? kSpintActive : 0;
      DeviceInterfaceData->Reserved = i + 1;
      return TRUE;
    }
  }
  return Fail(FALSE, ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  if (InjectedFailure(SIM_FN_SetupDiGetDeviceInterfaceDetailA)) return FALSE;
  Guard lock(KernelLock());
  const CDevInfoSet *pSet = LookupSet(DeviceInfoSet);
  if (pSet == nullptr) return Fail(FALSE, ERROR_INVALID_HANDLE);
  if (DeviceInterfaceData == nullptr) return Fail(FALSE, ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(FALSE, ERROR_INVALID_USER_BUFFER);
  }
  const CInterface *pItf = InterfaceOf(*pSet, *DeviceInterfaceData);
  if (pItf == nullptr) return Fail(FALSE, ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceDetailData == nullptr) {
    if (DeviceInterfaceDetailDataSize != 0) return Fail(FALSE, ERROR_INVALID_USER_BUFFER);
  } else if (DeviceInterfaceDetailDataSize < kDetailFixedSize ||
             DeviceInterfaceDetailData->cbSize != kDetailFixedSize) {
    return Fail(FALSE, ERROR_INVALID_USER_BUFFER);
  }
  if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(FALSE, ERROR_INVALID_USER_BUFFER);
  }
  const DWORD nRequired = kDetailPathOffset + static_cast<DWORD>(pItf->m_sPath.size()) + 1;
  if (RequiredSize != nullptr) *RequiredSize = nRequired;
  if (DeviceInterfaceDetailDataSize < nRequired) return Fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
  memcpy(DeviceInterfaceDetailData->DevicePath, pItf->m_sPath.c_str(), pItf->m_sPath.size() + 1);
  if (DeviceInfoData != nullptr) {
    // The device element: its instance number is the provider's (a simulated
    // printer's id); setup classes are not emulated.
    memset(&DeviceInfoData->ClassGuid, 0, sizeof(GUID));
    DeviceInfoData->DevInst = pItf->m_dwDevInst;
    DeviceInfoData->Reserved = 0;
  }
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (InjectedFailure(SIM_FN_SetupDiDestroyDeviceInfoList)) return FALSE;
  std::unique_ptr<CDevInfoSet> pDoomed;  // freed after unlocking
  Guard lock(KernelLock());
  auto it = Sets().find(DeviceInfoSet);
  if (it == Sets().end()) return Fail(FALSE, ERROR_INVALID_HANDLE);
  pDoomed = std::move(it->second);
  Sets().erase(it);
  NotifyAll();
  return TRUE;
}

}  // extern "C"
