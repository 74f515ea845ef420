// A mocked sysfs and /dev with USB printer-class printers bound to usblp,
// built with umockdev's testbed. The test program runs with umockdev's
// preload library (umockdev-wrapper), which shows it the testbed's /sys and
// /dev and delivers the testbed's uevents to its netlink sockets.
//
// Each printer is a USB device 1-<n> with one interface 1-<n>:1.0 (class 07,
// driver usblp) and the class entry lp<n> with the node /dev/usb/lp<n>. The
// node is a pseudo-terminal: the test plays the printer on its other end, or
// hands that end to a umockdev script.
#pragma once

#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

class CLpTestbed {
 public:
  CLpTestbed();
  ~CLpTestbed();
  CLpTestbed(const CLpTestbed &) = delete;
  CLpTestbed &operator=(const CLpTestbed &) = delete;

  // Adds printer lp<nLp> on port 1-<nLp + 1>, made by "Acme", product
  // "Label 2"; an empty serial adds a device without one. An interface class
  // other than 07 makes a usbmisc node of another driver.
  bool AddPrinter(unsigned nLp, unsigned nVendor, unsigned nProduct, const std::string &sSerial,
                  unsigned nClass = 0x07);
  // Unplugs it as the kernel does: remove uevents, then the devices go.
  void Unplug(unsigned nLp);
  // Plugs it in again as lp<nNewLp> on another port (umockdev cannot bring
  // back a node it made once); the serial keeps its interface path.
  bool Replug(unsigned nLp, unsigned nNewLp);

  // The printer's end of the node: the first nBytes the host writes (fewer
  // when they do not come in time), and bytes for the host.
  std::vector<unsigned char> ReadWritten(unsigned nLp, size_t nBytes, int nTimeoutMs = 20000);
  bool SendToHost(unsigned nLp, const std::vector<unsigned char> &bytes);
  // Hands the node to a umockdev script ("w 0 ^P^D^A" / "r 0 ^V" lines).
  bool LoadScript(unsigned nLp, const std::string &sScript);

  // The node disappears while the class entry stays (udev has not made it).
  bool RemoveNode(unsigned nLp);
  // The node's permissions say no to this process: mode 0 on the terminal
  // behind it. Root passes over modes unless it gives up that capability
  // while it opens (CWithoutFileModeOverride).
  bool DenyNode(unsigned nLp);
  // The process's descriptors open on the node: usblp takes one at a time,
  // the terminal behind the node any number.
  unsigned NodeOpens(unsigned nLp) const;

  // The interface path the emulation gives the printer.
  static std::string InterfacePath(unsigned nVendor, unsigned nProduct,
                                   const std::string &sInstance);

 private:
  struct SPrinter {
    unsigned nLp;
    unsigned nVendor;
    unsigned nProduct;
    std::string sSerial;
    unsigned nClass;
  };
  std::string DevicePath(unsigned nLp) const;
  std::string NodePath(unsigned nLp) const;               // inside the testbed's root
  static std::string Terminal(const std::string &sLink);  // where a link points
  const SPrinter *Find(unsigned nLp) const;
  bool Add(const SPrinter &printer);

  UMockdevTestbed *m_pTestbed;
  std::string m_sRoot;
  std::vector<SPrinter> m_printers;
};

// While it lives, the calling thread has no capability to pass over file
// modes (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH), so that they apply to root
// too; capabilities are per thread, and the library opens nodes on the
// thread that calls CreateFileA.
class CWithoutFileModeOverride {
 public:
  CWithoutFileModeOverride();
  ~CWithoutFileModeOverride();
  CWithoutFileModeOverride(const CWithoutFileModeOverride &) = delete;
  CWithoutFileModeOverride &operator=(const CWithoutFileModeOverride &) = delete;
  bool Ok() const { return m_bOk; }

 private:
  unsigned m_nEffective = 0;  // the first word of the effective set before
  bool m_bOk = false;
};

// Bytes in the data form of umockdev scripts: bytes up to 32 as '^' and the
// byte plus 64, '^' as "^`".
std::string ScriptData(const std::vector<unsigned char> &bytes);
