// Discovery of the usblp printers in sysfs and their Windows interface paths.
#include "LpSysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

#include "../Device.h"

namespace emu {
namespace usblp {
namespace {

const char kClassDir[] = "/sys/class/usbmisc";
const char kSysRoot[] = "/sys";
const char kUsbPrintGuid[] = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr unsigned kPrinterClass = 0x07;
constexpr size_t kMaxAttribute = 4096;

// An attribute's text without the surrounding white space (sysfs ends it
// with a newline); false when it cannot be read.
bool ReadAttribute(const std::string &sPath, std::string *pValue) {
  const int fd = open(sPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char sz[kMaxAttribute];
  size_t nHave = 0;
  for (;;) {
    const ssize_t n = read(fd, sz + nHave, sizeof sz - 1 - nHave);
    if (n <= 0) break;
    nHave += static_cast<size_t>(n);
    if (nHave == sizeof sz - 1) break;
  }
  close(fd);
  std::string s(sz, nHave);
  const size_t nFirst = s.find_first_not_of(" \t\r\n");
  const size_t nLast = s.find_last_not_of(" \t\r\n");
  *pValue = nFirst == std::string::npos ? std::string() : s.substr(nFirst, nLast - nFirst + 1);
  return true;
}

bool ReadHex(const std::string &sPath, unsigned *pnValue) {
  std::string s;
  if (!ReadAttribute(sPath, &s) || s.empty()) return false;
  char *pEnd = nullptr;
  const unsigned long n = strtoul(s.c_str(), &pEnd, 16);
  if (*pEnd != '\0' || n > 0xFFFF) return false;
  *pnValue = static_cast<unsigned>(n);
  return true;
}

// KEY=VALUE from a uevent file.
std::string UeventValue(const std::string &sUevent, const char *pszKey) {
  const std::string sPrefix = std::string(pszKey) + "=";
  size_t nPos = 0;
  while (nPos < sUevent.size()) {
    size_t nEnd = sUevent.find('\n', nPos);
    if (nEnd == std::string::npos) nEnd = sUevent.size();
    if (sUevent.compare(nPos, sPrefix.size(), sPrefix) == 0) {
      return sUevent.substr(nPos + sPrefix.size(), nEnd - nPos - sPrefix.size());
    }
    nPos = nEnd + 1;
  }
  return std::string();
}

std::string Parent(const std::string &sPath) {
  const size_t nSlash = sPath.rfind('/');
  return nSlash == std::string::npos || nSlash == 0 ? std::string() : sPath.substr(0, nSlash);
}

std::string BaseName(const std::string &sPath) { return sPath.substr(sPath.rfind('/') + 1); }

// "lp" and a number: the entries usblp makes (usbmisc also holds hiddev and others).
bool IsLpName(const char *pszName, unsigned *pnNumber) {
  if (strncmp(pszName, "lp", 2) != 0 || !isdigit(static_cast<unsigned char>(pszName[2]))) {
    return false;
  }
  char *pEnd = nullptr;
  const unsigned long n = strtoul(pszName + 2, &pEnd, 10);
  if (*pEnd != '\0' || n > UINT_MAX) return false;
  *pnNumber = static_cast<unsigned>(n);
  return true;
}

bool ReadPrinter(const std::string &sName, SLpPrinter *pPrinter) {
  char *pszReal = realpath((std::string(kClassDir) + "/" + sName).c_str(), nullptr);
  if (pszReal == nullptr) return false;
  const std::string sEntry(pszReal);
  free(pszReal);
  // .../<device>/<interface>/usbmisc/lpN
  const std::string sInterface = Parent(Parent(sEntry));
  const std::string sDevice = Parent(sInterface);
  if (sDevice.empty() ||
      sEntry.compare(0, strlen(kSysRoot) + 1, std::string(kSysRoot) + "/") != 0) {
    return false;
  }
  unsigned nClass = 0;
  if (!ReadHex(sInterface + "/bInterfaceClass", &nClass) || nClass != kPrinterClass) return false;
  SLpPrinter printer;
  if (!ReadHex(sDevice + "/idVendor", &printer.m_nVendor) ||
      !ReadHex(sDevice + "/idProduct", &printer.m_nProduct)) {
    return false;
  }
  ReadAttribute(sDevice + "/serial", &printer.m_sSerial);  // a device without one has no file
  std::string sText;
  if (ReadAttribute(sDevice + "/manufacturer", &sText)) printer.m_sManufacturer = sText;
  if (ReadAttribute(sDevice + "/product", &sText)) printer.m_sProduct = sText;
  ReadHex(sInterface + "/bInterfaceNumber", &printer.m_nInterface);
  std::string sCount;
  printer.m_bComposite =
      ReadAttribute(sDevice + "/bNumInterfaces", &sCount) && atoi(sCount.c_str()) > 1;

  std::string sUevent;
  ReadAttribute(sEntry + "/uevent", &sUevent);
  const std::string sDevName = UeventValue(sUevent, "DEVNAME");
  printer.m_sNode = "/dev/" + (sDevName.empty() ? "usb/" + sName : sDevName);
  printer.m_nMinor = static_cast<unsigned>(atoi(UeventValue(sUevent, "MINOR").c_str()));
  printer.m_sName = sName;
  printer.m_sDevPath = sEntry.substr(strlen(kSysRoot));
  printer.m_sPort = BaseName(sDevice);
  *pPrinter = std::move(printer);
  return true;
}

}  // namespace

bool SerialNamesInstance(const SLpPrinter &printer) { return UsableSerial(printer.m_sSerial); }

std::string InterfacePathOf(const SLpPrinter &printer, bool bUseSerial) {
  char szIds[40];
  snprintf(szIds, sizeof szIds, "vid_%04x&pid_%04x", printer.m_nVendor, printer.m_nProduct);
  std::string sPath = std::string("\\\\?\\usb#") + szIds;
  if (printer.m_bComposite) {
    snprintf(szIds, sizeof szIds, "&mi_%02x", printer.m_nInterface & 0xFF);
    sPath += szIds;
  }
  std::string sInstance =
      bUseSerial && SerialNamesInstance(printer) ? printer.m_sSerial : printer.m_sPort;
  for (char &c : sInstance) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return sPath + "#" + sInstance + "#" + kUsbPrintGuid;
}

std::vector<SLpPrinter> ScanPrinters() {
  std::map<unsigned, SLpPrinter> byNumber;
  if (DIR *pDir = opendir(kClassDir)) {
    while (const dirent *pEntry = readdir(pDir)) {
      unsigned nNumber = 0;
      SLpPrinter printer;
      if (IsLpName(pEntry->d_name, &nNumber) && ReadPrinter(pEntry->d_name, &printer)) {
        byNumber.emplace(nNumber, std::move(printer));
      }
    }
    closedir(pDir);
  }
  std::vector<SLpPrinter> printers;
  std::map<std::string, int> nUses;
  for (auto &entry : byNumber) {
    entry.second.m_sInterfacePath = InterfacePathOf(entry.second, true);
    ++nUses[entry.second.m_sInterfacePath];
    printers.push_back(std::move(entry.second));
  }
  // Two printers with one serial number (some models report a constant)
  // are told apart by their ports.
  for (SLpPrinter &printer : printers) {
    printer.m_bSerialInPath = SerialNamesInstance(printer);
    if (nUses[printer.m_sInterfacePath] > 1) {
      printer.m_sInterfacePath = InterfacePathOf(printer, false);
      printer.m_bSerialInPath = false;
    }
  }
  return printers;
}

bool IsAtOrBelow(const std::string &sDevPath, const std::string &sRemoved) {
  if (sRemoved.empty() || sDevPath.compare(0, sRemoved.size(), sRemoved) != 0) return false;
  return sDevPath.size() == sRemoved.size() || sDevPath[sRemoved.size()] == '/';
}

}  // namespace usblp
}  // namespace emu
