// SetupAPI over the printers of the provider in charge: device information
// sets that snapshot the interfaces of one interface class, their
// enumeration, the interface paths, and the device elements' instance ids
// and registry properties.
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
  std::vector<DEVINST> m_nodes;  // each interface's device node
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

// The interface whose device element an SP_DEVINFO_DATA of this set names
// (Reserved holds the index + 1, DevInst its node), or null.
const CInterface *DeviceOf(const CDevInfoSet &set, const SP_DEVINFO_DATA *pData) {
  if (pData == nullptr || pData->cbSize != sizeof(SP_DEVINFO_DATA) || pData->Reserved == 0 ||
      pData->Reserved > set.m_interfaces.size() ||
      set.m_nodes[pData->Reserved - 1] != pData->DevInst) {
    return nullptr;
  }
  return &set.m_interfaces[pData->Reserved - 1];
}

// The text a property or instance id query copies out: its size with the
// terminator always, the text only into a buffer that holds it all.
BOOL CopyText(const std::string &s, void *pBuffer, DWORD nSize, PDWORD pnRequired) {
  const auto nRequired = static_cast<DWORD>(s.size() + 1);
  if (pnRequired != nullptr) *pnRequired = nRequired;
  if (nSize < nRequired) return Fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
  memcpy(pBuffer, s.c_str(), nRequired);
  return TRUE;
}

// The registry properties a device element has; the others are absent.
const std::optional<std::string> *PropertyOf(const CIdentity &id, DWORD dwProperty) {
  switch (dwProperty) {
    case SPDRP_MFG:
      return &id.m_sManufacturer;
    case SPDRP_DEVICEDESC:
      return &id.m_sProduct;
    case SPDRP_LOCATION_INFORMATION:
      return &id.m_sLocation;
    default:
      return nullptr;
  }
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
  for (const CInterface &itf : pSet->m_interfaces) {
    pSet->m_nodes.push_back(RegisterDeviceNodes(itf));
  }
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
  if (DeviceInfoData != nullptr) {
    // The device element, also for the size query as on Windows: its node
    // and its place in the set; setup classes are not emulated.
    memset(&DeviceInfoData->ClassGuid, 0, sizeof(GUID));
    DeviceInfoData->DevInst = pSet->m_nodes[DeviceInterfaceData->Reserved - 1];
    DeviceInfoData->Reserved = DeviceInterfaceData->Reserved;
  }
  const DWORD nRequired = kDetailPathOffset + static_cast<DWORD>(pItf->m_sPath.size()) + 1;
  if (RequiredSize != nullptr) *RequiredSize = nRequired;
  if (DeviceInterfaceDetailDataSize < nRequired) return Fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
  memcpy(DeviceInterfaceDetailData->DevicePath, pItf->m_sPath.c_str(), pItf->m_sPath.size() + 1);
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  if (InjectedFailure(SIM_FN_SetupDiGetDeviceRegistryPropertyA)) return FALSE;
  Guard lock(KernelLock());
  const CDevInfoSet *pSet = LookupSet(DeviceInfoSet);
  if (pSet == nullptr) return Fail(FALSE, ERROR_INVALID_HANDLE);
  const CInterface *pItf = DeviceOf(*pSet, DeviceInfoData);
  if (pItf == nullptr) return Fail(FALSE, ERROR_INVALID_PARAMETER);
  if (Property >= SPDRP_MAXIMUM_PROPERTY) return Fail(FALSE, ERROR_INVALID_REG_PROPERTY);
  // Windows' code for this one varies; Wine's is ERROR_INVALID_DATA.
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
    return Fail(FALSE, ERROR_INVALID_DATA);
  }
  const std::optional<std::string> *pValue = PropertyOf(pItf->m_identity, Property);
  if (pValue == nullptr || !*pValue) return Fail(FALSE, ERROR_INVALID_DATA);
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = REG_SZ;
  return CopyText(**pValue, PropertyBuffer, PropertyBufferSize, RequiredSize);
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                        PDWORD RequiredSize) {
  if (InjectedFailure(SIM_FN_SetupDiGetDeviceInstanceIdA)) return FALSE;
  Guard lock(KernelLock());
  const CDevInfoSet *pSet = LookupSet(DeviceInfoSet);
  if (pSet == nullptr) return Fail(FALSE, ERROR_INVALID_HANDLE);
  if (DeviceOf(*pSet, DeviceInfoData) == nullptr ||
      (DeviceInstanceId == nullptr && DeviceInstanceIdSize != 0)) {
    return Fail(FALSE, ERROR_INVALID_PARAMETER);
  }
  std::string sId;
  InstanceIdOf(DeviceInfoData->DevInst, &sId);
  return CopyText(sId, DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
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
