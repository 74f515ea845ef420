#include "LpTestbed.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

const char kUsbDevices[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

std::string Dec(unsigned n) { return std::to_string(n); }

std::string Hex(unsigned n, int nDigits) {
  char sz[16];
  snprintf(sz, sizeof sz, "%0*x", nDigits, n & 0xFFFF);
  return sz;
}
std::string Hex4(unsigned n) { return Hex(n, 4); }

std::string Node(unsigned nLp) { return "/dev/usb/lp" + Dec(nLp); }

}  // namespace

CLpTestbed::CLpTestbed() : m_pTestbed(umockdev_testbed_new()) {
  gchar *pszRoot = umockdev_testbed_get_root_dir(m_pTestbed);
  m_sRoot = pszRoot;
  g_free(pszRoot);
}

CLpTestbed::~CLpTestbed() { g_object_unref(m_pTestbed); }

std::string CLpTestbed::DevicePath(unsigned nLp) const {
  return std::string(kUsbDevices) + "/1-" + Dec(nLp + 1);
}

std::string CLpTestbed::NodePath(unsigned nLp) const { return m_sRoot + Node(nLp); }

const CLpTestbed::SPrinter *CLpTestbed::Find(unsigned nLp) const {
  for (const SPrinter &p : m_printers) {
    if (p.nLp == nLp) return &p;
  }
  return nullptr;
}

std::string CLpTestbed::InterfacePath(unsigned nVendor, unsigned nProduct,
                                      const std::string &sInstance) {
  return "\\\\?\\usb#vid_" + Hex4(nVendor) + "&pid_" + Hex4(nProduct) + "#" + sInstance +
         "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

bool CLpTestbed::Add(const SPrinter &printer) {
  const std::string sDevice = DevicePath(printer.nLp).substr(4);  // below /sys
  const std::string sInterface = sDevice + "/1-" + Dec(printer.nLp + 1) + ":1.0";
  const std::string sLp = "lp" + Dec(printer.nLp);
  std::string s = "P: " + sInterface + "/usbmisc/" + sLp + "\nN: usb/" + sLp + "\n";
  s += "E: DEVNAME=/dev/usb/" + sLp +
       "\nE: SUBSYSTEM=usbmisc\nE: MAJOR=180\nE: MINOR=" + Dec(printer.nLp) + "\n\n";
  s += "P: " + sInterface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usblp\n";
  s += "A: bInterfaceClass=" + Hex(printer.nClass, 2) +
       "\nA: bInterfaceSubClass=01\nA: bInterfaceProtocol=02\n";
  s += "A: bInterfaceNumber=00\n\n";
  s += "P: " + sDevice + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
  s += "A: idVendor=" + Hex4(printer.nVendor) + "\nA: idProduct=" + Hex4(printer.nProduct) + "\n";
  if (!printer.sSerial.empty()) s += "A: serial=" + printer.sSerial + "\n";
  s += "A: manufacturer=Acme\nA: product=Label 2\n";
  s += "A: bNumInterfaces= 1\n";
  GError *pError = nullptr;
  if (!umockdev_testbed_add_from_string(m_pTestbed, s.c_str(), &pError)) {
    fprintf(stderr, "testbed: %s\n", pError->message);
    g_error_free(pError);
    return false;
  }
  return true;
}

bool CLpTestbed::AddPrinter(unsigned nLp, unsigned nVendor, unsigned nProduct,
                            const std::string &sSerial, unsigned nClass) {
  SPrinter printer{nLp, nVendor, nProduct, sSerial, nClass};
  if (Find(nLp) != nullptr || !Add(printer)) return false;
  m_printers.push_back(printer);
  return true;
}

void CLpTestbed::Unplug(unsigned nLp) {
  const std::string sDevice = DevicePath(nLp);
  const std::string sInterface = sDevice + "/1-" + Dec(nLp + 1) + ":1.0";
  const std::string sEntry = sInterface + "/usbmisc/lp" + Dec(nLp);
  // Children first, each announced before it goes, as the kernel does.
  for (const std::string &s : {sEntry, sInterface, sDevice}) {
    umockdev_testbed_uevent(m_pTestbed, s.c_str(), "remove");
    umockdev_testbed_remove_device(m_pTestbed, s.c_str());
  }
}

bool CLpTestbed::Replug(unsigned nLp, unsigned nNewLp) {
  const SPrinter *pPrinter = Find(nLp);
  if (pPrinter == nullptr) return false;
  const SPrinter printer{nNewLp, pPrinter->nVendor, pPrinter->nProduct, pPrinter->sSerial,
                         pPrinter->nClass};
  if (!AddPrinter(nNewLp, printer.nVendor, printer.nProduct, printer.sSerial)) return false;
  const std::string sEntry =
      DevicePath(nNewLp) + "/1-" + Dec(nNewLp + 1) + ":1.0/usbmisc/lp" + Dec(nNewLp);
  umockdev_testbed_uevent(m_pTestbed, sEntry.c_str(), "add");
  return true;
}

std::vector<unsigned char> CLpTestbed::ReadWritten(unsigned nLp, size_t nBytes, int nTimeoutMs) {
  std::vector<unsigned char> got;
  const int fd = umockdev_testbed_get_dev_fd(m_pTestbed, Node(nLp).c_str());
  if (fd < 0) return got;
  const auto tpEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  while (got.size() < nBytes) {
    const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                           tpEnd - std::chrono::steady_clock::now())
                           .count();
    pollfd p{fd, POLLIN, 0};
    if (nLeft <= 0 || poll(&p, 1, static_cast<int>(nLeft)) <= 0) break;
    unsigned char buf[256];
    const size_t nAsk = nBytes - got.size() < sizeof buf ? nBytes - got.size() : sizeof buf;
    const ssize_t n = read(fd, buf, nAsk);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

bool CLpTestbed::SendToHost(unsigned nLp, const std::vector<unsigned char> &bytes) {
  const int fd = umockdev_testbed_get_dev_fd(m_pTestbed, Node(nLp).c_str());
  return fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool CLpTestbed::LoadScript(unsigned nLp, const std::string &sScript) {
  const std::string sFile = m_sRoot + "/lp" + Dec(nLp) + ".script";
  GError *pError = nullptr;
  if (!g_file_set_contents(sFile.c_str(), sScript.c_str(), -1, &pError) ||
      !umockdev_testbed_load_script(m_pTestbed, Node(nLp).c_str(), sFile.c_str(), &pError)) {
    fprintf(stderr, "testbed: %s\n", pError->message);
    g_error_free(pError);
    return false;
  }
  return true;
}

bool CLpTestbed::RemoveNode(unsigned nLp) {
  // A dangling link hides the node, as umockdev documents.
  const std::string sNode = NodePath(nLp);
  unlink(sNode.c_str());
  return symlink((m_sRoot + "/no-such-node").c_str(), sNode.c_str()) == 0;
}

std::string CLpTestbed::Terminal(const std::string &sLink) {
  char szTarget[512];
  const ssize_t n = readlink(sLink.c_str(), szTarget, sizeof szTarget);
  return n > 0 ? std::string(szTarget, static_cast<size_t>(n)) : std::string();
}

bool CLpTestbed::DenyNode(unsigned nLp) {
  const std::string sTerminal = Terminal(NodePath(nLp));
  return !sTerminal.empty() && chmod(sTerminal.c_str(), 0) == 0;
}

unsigned CLpTestbed::NodeOpens(unsigned nLp) const {
  const std::string sTerminal = Terminal(NodePath(nLp));
  DIR *pDir = sTerminal.empty() ? nullptr : opendir("/proc/self/fd");
  if (pDir == nullptr) return 0;
  unsigned nOpens = 0;
  while (const dirent *pEntry = readdir(pDir)) {
    if (Terminal(std::string("/proc/self/fd/") + pEntry->d_name) == sTerminal) ++nOpens;
  }
  closedir(pDir);
  return nOpens;
}

namespace {

bool Capabilities(__user_cap_data_struct *pData, bool bSet) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(bSet ? SYS_capset : SYS_capget, &header, pData) == 0;
}

}  // namespace

CWithoutFileModeOverride::CWithoutFileModeOverride() {
  __user_cap_data_struct data[2] = {};
  if (!Capabilities(data, false)) return;
  m_nEffective = data[0].effective;
  data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
  m_bOk = Capabilities(data, true);
}

CWithoutFileModeOverride::~CWithoutFileModeOverride() {
  __user_cap_data_struct data[2] = {};
  if (!m_bOk || !Capabilities(data, false)) return;
  data[0].effective = m_nEffective;
  if (!Capabilities(data, true)) abort();
}

std::string ScriptData(const std::vector<unsigned char> &bytes) {
  std::string s;
  for (unsigned char b : bytes) {
    if (b < 32) {
      s += '^';
      s += static_cast<char>(b + 64);
    } else if (b == '^') {
      s += "^`";
    } else {
      s += static_cast<char>(b);
    }
  }
  return s;
}
