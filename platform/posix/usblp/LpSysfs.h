// Printers that the Linux kernel's usblp driver drives, found through sysfs.
//
// Every printer-class interface bound to usblp has a class entry
// /sys/class/usbmisc/lpN and a node /dev/usb/lpN. The class entry's real
// path runs through the USB interface (bInterfaceClass 07) and the USB device
// above it (idVendor, idProduct, serial), so the walk resolves that path and
// goes up instead of following `device` links, which a mocked sysfs lacks.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace emu {
namespace usblp {

struct SLpPrinter {
  std::string m_sName;     // "lp0"
  std::string m_sDevPath;  // the class entry below /sys: "/devices/.../1-1:1.0/usbmisc/lp0"
  std::string m_sNode;     // "/dev/usb/lp0"
  unsigned m_nVendor = 0;
  unsigned m_nProduct = 0;
  std::string m_sSerial;                       // as the device reports it; may be empty
  std::optional<std::string> m_sManufacturer;  // the device's strings, when it has them
  std::optional<std::string> m_sProduct;
  std::string m_sPort;  // the USB device's sysfs name, its bus and port path: "1-1.4"
  unsigned m_nInterface = 0;
  bool m_bComposite = false;  // more than one interface: the path names the one meant
  unsigned m_nMinor = 0;
  std::string m_sInterfacePath;  // the Windows interface path (InterfacePathOf)
  bool m_bSerialInPath = false;  // its instance is the serial number, not the port
};

// The printers present now, by lp number. Entries that are no printer-class
// interface, or whose files cannot be read, are left out.
std::vector<SLpPrinter> ScanPrinters();

// Whether Windows would name the printer's device instance by its serial
// number (one it takes, UsableSerial); otherwise by its port.
bool SerialNamesInstance(const SLpPrinter &printer);

// The Windows interface path of the USB printer class for a printer:
// \\?\usb#vid_xxxx&pid_yyyy[&mi_nn]#<instance>#{28d78fad-5a12-11d1-ae5b-0000f803a8c2},
// all in lower case, as Windows writes the symbolic links of this class; the
// device table lists every model in that form. The instance is the serial
// number when it is one Windows would take (printable, no '#', '\' or ','),
// else the port path.
std::string InterfacePathOf(const SLpPrinter &printer, bool bUseSerial);

// Whether the device at this path below /sys, or a device above it, is the
// one a remove event names (sDevPath starts with sRemoved at a '/' boundary).
bool IsAtOrBelow(const std::string &sDevPath, const std::string &sRemoved);

}  // namespace usblp
}  // namespace emu
