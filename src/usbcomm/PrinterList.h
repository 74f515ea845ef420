// Every printer the library can reach, with what tells one from another.
#pragma once

#include <string>
#include <vector>

struct CPrinterInfo {
  int nUsbType = 0;            // USB_TYPE_NATIVE or USB_TYPE_PRINTER_CLASS
  std::string sInterfacePath;  // what a session opens
  std::string sDeviceId;       // the USB device's instance id, "" when not found
  int nVendorId = -1;          // -1: unknown
  int nProductId = -1;
  bool bHasSerial = false;
  std::string sSerial;
  std::string sManufacturer;  // "" when the system has none
  std::string sProduct;
  std::string sLocation;   // the port path; the device's instance id when the system has none
  bool bAccepted = false;  // the device table accepts the interface path
};

// The present interfaces of the native class, then of the printer class, in
// the order the system enumerates them. Opens nothing on any printer: the
// identity comes from the system's records of the device. An interface whose
// path is too long for a device path buffer is left out (it cannot be
// opened). Never fails as a whole: a class that cannot be listed adds nothing.
std::vector<CPrinterInfo> ListPrinters();
