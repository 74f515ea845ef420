// The configuration manager's device tree above the interfaces SetupAPI
// lists: every interface's node, the USB device's node above it and one
// root, with the instance ids Windows gives them. Nodes live in one table
// for the life of the process, as Windows' DEVINST values stay valid in the
// process that received them; a DEVINST is an index into it.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "Device.h"

namespace emu {
namespace {

// The root of the tree: CM_Get_Parent finds nothing above it.
const char kRootId[] = "HTREE\\ROOT\\0";
constexpr size_t kMaxSerial = 126;
constexpr size_t kMaxModel = 32;

class CNode {
 public:
  std::string m_sId;
  DEVINST m_dnParent;  // 0 at the root
};

class CNodeTable {
 public:
  std::vector<CNode> m_nodes;             // DEVINST n is m_nodes[n - 1]
  std::map<std::string, DEVINST> m_byId;  // ids are kept in upper case
};

// Never destroyed, like the kernel state.
CNodeTable &Nodes() {
  static auto *s_pNodes = new CNodeTable;
  return *s_pNodes;
}

const CNode *NodeOf(DEVINST dn) {
  const std::vector<CNode> &nodes = Nodes().m_nodes;
  return dn == 0 || dn > nodes.size() ? nullptr : &nodes[dn - 1];
}

// The node of an id, made on first sight; a device that moved gets its new
// parent.
DEVINST Intern(const std::string &sId, DEVINST dnParent) {
  CNodeTable &table = Nodes();
  auto it = table.m_byId.find(sId);
  if (it != table.m_byId.end()) {
    table.m_nodes[it->second - 1].m_dnParent = dnParent;
    return it->second;
  }
  table.m_nodes.push_back(CNode{sId, dnParent});
  const auto dn = static_cast<DEVINST>(table.m_nodes.size());
  table.m_byId.emplace(sId, dn);
  return dn;
}

// Windows keeps instance ids in upper case, serial numbers included.
std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// The hash part of the instance ids Windows makes up (FNV-1a).
std::string Hash(const std::string &s) {
  uint32_t n = 2166136261u;
  for (unsigned char c : s) n = (n ^ c) * 16777619u;
  char sz[16];
  snprintf(sz, sizeof sz, "%08X", static_cast<unsigned>(n));
  return sz;
}

// A device without a serial number is named by where it is plugged:
// "5&<hash of its hub>&0&<port>".
std::string MadeUpInstance(const std::string &sPort) {
  const size_t nSep = sPort.find_last_of("-.");
  std::string sHub = sPort;
  std::string sNumber = "0";
  if (nSep != std::string::npos && nSep + 1 < sPort.size() &&
      sPort.find_first_not_of("0123456789", nSep + 1) == std::string::npos) {
    sHub = sPort.substr(0, nSep);
    sNumber = sPort.substr(nSep + 1);
  }
  return "5&" + Hash(sHub) + "&0&" + sNumber;
}

// The model part of a printer-class node's id, from the printer's texts as
// its IEEE 1284 id gives them: letters and digits, blanks as '_'.
std::string Model(const CIdentity &id) {
  std::string s;
  for (const auto *pText : {&id.m_sManufacturer, &id.m_sProduct}) {
    if (!*pText) continue;
    for (unsigned char c : **pText) {
      if (s.size() == kMaxModel) break;
      if (isalnum(c)) s += static_cast<char>(c);
      if (c == ' ') s += '_';
    }
  }
  return s.empty() ? "PRINTER" : s;
}

bool IsHex4(const std::string &s, size_t nPos) {
  if (nPos + 4 > s.size()) return false;
  for (size_t i = nPos; i < nPos + 4; ++i) {
    if (!isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

}  // namespace

void ParseUsbIds(const std::string &sPath, CIdentity *pIdentity) {
  const std::string s = Upper(sPath);
  // "VID_" 4 "&PID_" 4, and perhaps "&MI_" 2.
  for (size_t nAt = s.find("VID_"); nAt != std::string::npos; nAt = s.find("VID_", nAt + 1)) {
    if (!IsHex4(s, nAt + 4) || s.compare(nAt + 8, 5, "&PID_") != 0 || !IsHex4(s, nAt + 13)) {
      continue;
    }
    pIdentity->m_wVendor = static_cast<WORD>(strtoul(s.substr(nAt + 4, 4).c_str(), nullptr, 16));
    pIdentity->m_wProduct = static_cast<WORD>(strtoul(s.substr(nAt + 13, 4).c_str(), nullptr, 16));
    if (s.compare(nAt + 17, 4, "&MI_") == 0 && nAt + 23 <= s.size() &&
        isxdigit(static_cast<unsigned char>(s[nAt + 21])) &&
        isxdigit(static_cast<unsigned char>(s[nAt + 22]))) {
      pIdentity->m_nInterface =
          static_cast<int>(strtoul(s.substr(nAt + 21, 2).c_str(), nullptr, 16));
    }
    return;
  }
}

bool UsableSerial(const std::string &s) {
  if (s.empty() || s.size() > kMaxSerial) return false;
  for (char c : s) {
    if (c <= 0x20 || c >= 0x7F || c == '#' || c == '\\' || c == ',' || c == '/') return false;
  }
  return true;
}

DEVINST RegisterDeviceNodes(const CInterface &itf) {
  const CIdentity &id = itf.m_identity;
  char szIds[32];
  snprintf(szIds, sizeof szIds, "USB\\VID_%04X&PID_%04X", id.m_wVendor, id.m_wProduct);
  const std::string sUsb = szIds;
  const std::string sDevice =
      Upper(sUsb + "\\" + (id.m_sSerial ? *id.m_sSerial : MadeUpInstance(id.m_sPort)));
  DEVINST dn = Intern(sDevice, Intern(kRootId, 0));
  if (id.m_nInterface >= 0) {
    // A composite device's interface: the node its driver binds to.
    char szInterface[48];
    snprintf(szInterface, sizeof szInterface, "&MI_%02X\\6&%s&0&%04X", id.m_nInterface & 0xFF,
             Hash(sDevice).c_str(), id.m_nInterface & 0xFF);
    dn = Intern(sUsb + szInterface, dn);
  }
  if (itf.m_bPrinterClass) {
    dn = Intern(Upper("USBPRINT\\" + Model(id) + "\\7&" + Hash(sDevice) + "&0&USB001"), dn);
  }
  return dn;
}

bool InstanceIdOf(DEVINST dn, std::string *pId) {
  const CNode *pNode = NodeOf(dn);
  if (pNode == nullptr) return false;
  *pId = pNode->m_sId;
  return true;
}

}  // namespace emu

using namespace emu;

namespace {

// An injected failure returns its code; a code of 0 would read as success.
CONFIGRET InjectedConfigRet(int nFn) {
  DWORD dwCode = 0;
  if (!InjectedResult(nFn, &dwCode)) return CR_SUCCESS;
  return dwCode == CR_SUCCESS ? CR_FAILURE : dwCode;
}

}  // namespace

extern "C" {

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  if (const CONFIGRET cr = InjectedConfigRet(SIM_FN_CM_Get_Parent)) return cr;
  if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
  if (dnDevInst == 0) return CR_INVALID_DEVNODE;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  // Past the argument checks Windows overwrites the result first: a caller
  // that ignores a failure walks on from an invalid node.
  *pdnDevInst = static_cast<DEVINST>(-1);
  Guard lock(KernelLock());
  const CNode *pNode = NodeOf(dnDevInst);
  if (pNode == nullptr) return CR_INVALID_DEVNODE;
  if (pNode->m_dnParent == 0) return CR_NO_SUCH_DEVNODE;
  *pdnDevInst = pNode->m_dnParent;
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
  if (const CONFIGRET cr = InjectedConfigRet(SIM_FN_CM_Get_Device_IDA)) return cr;
  if (dnDevInst == 0) return CR_INVALID_DEVNODE;
  if (Buffer == nullptr) return CR_INVALID_POINTER;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  std::string sId;
  {
    Guard lock(KernelLock());
    if (!InstanceIdOf(dnDevInst, &sId)) return CR_INVALID_DEVNODE;
  }
  // The terminator only where it fits: an id of exactly BufferLen
  // characters is a success without it.
  const size_t nCopy = sId.size() < BufferLen ? sId.size() + 1 : BufferLen;
  memcpy(Buffer, sId.c_str(), nCopy);
  return sId.size() > BufferLen ? CR_BUFFER_SMALL : CR_SUCCESS;
}

}  // extern "C"
