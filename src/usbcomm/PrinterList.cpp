// Listing the printers through SetupAPI and the configuration manager.
#include "usbcomm/PrinterList.h"

#include <ctype.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "usbcomm/UsbComm.h"

namespace {

// As the search: a broken class driver may fail every index.
const DWORD kMaxConsecutiveEnumErrors = 256;
// Device nodes between an interface's node and its USB device: a printer
// class node, a composite device's interface, the device.
const int kMaxParentSteps = 3;

// Instance ids and interface paths compare without regard to case.
std::string Upper(std::string s) {
  for (char &c : s) c = (char)toupper((unsigned char)c);
  return s;
}

// Text of a registry property, the first string of a list; false when the
// device has none. The size query comes first, so any length fits.
bool GetProperty(HDEVINFO hDevInfo, SP_DEVINFO_DATA *pDevInfo, DWORD dwProperty,
                 std::string *pOut) {
  DWORD nRequired = 0;
  DWORD dwType = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(hDevInfo, pDevInfo, dwProperty, &dwType, nullptr, 0,
                                         &nRequired) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  if (nRequired == 0) return false;
  // Two terminators more than asked for: a value stored without its own
  // still ends inside the buffer.
  std::vector<char> buffer(nRequired + 2, '\0');
  if (!SetupDiGetDeviceRegistryPropertyA(hDevInfo, pDevInfo, dwProperty, &dwType,
                                         (PBYTE)buffer.data(), nRequired, &nRequired)) {
    return false;
  }
  if (dwType != REG_SZ && dwType != REG_MULTI_SZ) return false;
  pOut->assign(buffer.data());
  return !pOut->empty();
}

bool GetInstanceId(HDEVINFO hDevInfo, SP_DEVINFO_DATA *pDevInfo, std::string *pOut) {
  DWORD nRequired = 0;
  SetupDiGetDeviceInstanceIdA(hDevInfo, pDevInfo, nullptr, 0, &nRequired);
  if (nRequired == 0) return false;
  std::vector<char> buffer(nRequired + 1, '\0');
  if (!SetupDiGetDeviceInstanceIdA(hDevInfo, pDevInfo, buffer.data(), nRequired, &nRequired)) {
    return false;
  }
  pOut->assign(buffer.data());
  return true;
}

bool GetNodeId(DEVINST devInst, std::string *pOut) {
  // The id may fill the buffer without a terminator: one byte more stays 0.
  char szId[MAX_DEVICE_ID_LEN + 2] = {};
  if (CM_Get_Device_IDA(devInst, szId, MAX_DEVICE_ID_LEN + 1, 0) != CR_SUCCESS) return false;
  pOut->assign(szId);
  return true;
}

// The instance id of the USB device above an interface's device node
// ("USB\\VID_vvvv&PID_pppp\\instance"), passing over a composite device's
// interface node ("&MI_").
bool FindUsbDeviceId(DEVINST devInst, std::string sId, std::string *pOut) {
  for (int nStep = 0;; ++nStep) {
    const std::string sUpper = Upper(sId);
    if (sUpper.compare(0, 8, "USB\\VID_") == 0 && sUpper.find("&MI_") == std::string::npos) {
      *pOut = sId;
      return true;
    }
    DEVINST devParent = 0;
    if (nStep == kMaxParentSteps || CM_Get_Parent(&devParent, devInst, 0) != CR_SUCCESS ||
        !GetNodeId(devParent, &sId)) {
      return false;
    }
    devInst = devParent;
  }
}

// Four hex digits after pszKey ("VID_"), any case; -1 when not there.
int HexAfter(const std::string &s, const char *pszKey) {
  const std::string upper = Upper(s);
  const size_t nAt = upper.find(pszKey);
  if (nAt == std::string::npos || nAt + strlen(pszKey) + 4 > upper.size()) return -1;
  const char *pszDigits = upper.c_str() + nAt + strlen(pszKey);
  int nValue = 0;
  for (int i = 0; i < 4; ++i) {
    if (!isxdigit((unsigned char)pszDigits[i])) return -1;
    nValue = nValue * 16 +
             (isdigit((unsigned char)pszDigits[i]) ? pszDigits[i] - '0' : pszDigits[i] - 'A' + 10);
  }
  return nValue;
}

void FillIdentity(HDEVINFO hDevInfo, SP_DEVINFO_DATA *pDevInfo, CPrinterInfo *pInfo) {
  std::string sOwnId;
  if (GetInstanceId(hDevInfo, pDevInfo, &sOwnId)) {
    FindUsbDeviceId(pDevInfo->DevInst, sOwnId, &pInfo->sDeviceId);
  }
  // Without the USB device's id the interface path still names the model.
  const std::string &sIdSource =
      pInfo->sDeviceId.empty() ? pInfo->sInterfacePath : pInfo->sDeviceId;
  pInfo->nVendorId = HexAfter(sIdSource, "VID_");
  pInfo->nProductId = HexAfter(sIdSource, "PID_");
  if (!pInfo->sDeviceId.empty()) {
    // Windows makes up the instance part ("6&1a2b3c&0&2") of a device that
    // reports no serial number.
    const std::string sInstance = pInfo->sDeviceId.substr(pInfo->sDeviceId.rfind('\\') + 1);
    pInfo->bHasSerial = !sInstance.empty() && sInstance.find('&') == std::string::npos;
    if (pInfo->bHasSerial) pInfo->sSerial = sInstance;
  }
  GetProperty(hDevInfo, pDevInfo, SPDRP_MFG, &pInfo->sManufacturer);
  if (!GetProperty(hDevInfo, pDevInfo, SPDRP_FRIENDLYNAME, &pInfo->sProduct)) {
    GetProperty(hDevInfo, pDevInfo, SPDRP_DEVICEDESC, &pInfo->sProduct);
  }
  if (!GetProperty(hDevInfo, pDevInfo, SPDRP_LOCATION_PATHS, &pInfo->sLocation) &&
      !GetProperty(hDevInfo, pDevInfo, SPDRP_LOCATION_INFORMATION, &pInfo->sLocation)) {
    pInfo->sLocation = pInfo->sDeviceId.empty() ? sOwnId : pInfo->sDeviceId;
  }
}

// The interface path; false when it cannot be had or is too long to open.
bool GetInterfacePath(HDEVINFO hDevInfo, SP_DEVICE_INTERFACE_DATA *pInterface,
                      SP_DEVINFO_DATA *pDevInfo, std::string *pOut) {
  DWORD nRequired = 0;
  SetupDiGetDeviceInterfaceDetailA(hDevInfo, pInterface, nullptr, 0, &nRequired, nullptr);
  if (nRequired < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;
  std::vector<char> block(nRequired, '\0');
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)block.data();
  pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(hDevInfo, pInterface, pDetail, nRequired, nullptr,
                                        pDevInfo)) {
    return false;
  }
  const size_t nRoom = nRequired - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const size_t nPath = strnlen(pDetail->DevicePath, nRoom);
  if (nPath == nRoom || nPath == 0 || nPath + USB_PIPE_SUFFIX_LENGTH >= USB_PATH_SIZE) return false;
  pOut->assign(pDetail->DevicePath, nPath);
  return true;
}

void ListClass(int nUsbType, const GUID &guid, std::vector<CPrinterInfo> *pOut) {
  HDEVINFO hDevInfo =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hDevInfo == INVALID_HANDLE_VALUE) return;
  DWORD nConsecutiveErrors = 0;
  for (DWORD nIndex = 0; nConsecutiveErrors < kMaxConsecutiveEnumErrors; ++nIndex) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(hDevInfo, nullptr, &guid, nIndex, &interfaceData)) {
      if (GetLastError() == (DWORD)ERROR_NO_MORE_ITEMS) break;
      ++nConsecutiveErrors;
      continue;
    }
    nConsecutiveErrors = 0;
    SP_DEVINFO_DATA devInfo;
    memset(&devInfo, 0, sizeof devInfo);
    devInfo.cbSize = sizeof devInfo;
    CPrinterInfo info;
    info.nUsbType = nUsbType;
    if (!GetInterfacePath(hDevInfo, &interfaceData, &devInfo, &info.sInterfacePath)) continue;
    info.bAccepted = MatchesDevicePattern(info.sInterfacePath.c_str());
    FillIdentity(hDevInfo, &devInfo, &info);
    pOut->push_back(std::move(info));
  }
  SetupDiDestroyDeviceInfoList(hDevInfo);
}

}  // namespace

std::vector<CPrinterInfo> ListPrinters() {
  std::vector<CPrinterInfo> printers;
  ListClass(USB_TYPE_NATIVE, GUID_DEVINTERFACE_NATIVE_PRINTER, &printers);
  ListClass(USB_TYPE_PRINTER_CLASS, GUID_DEVINTERFACE_USBPRINT, &printers);
  return printers;
}
