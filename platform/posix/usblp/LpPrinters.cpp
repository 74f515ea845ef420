// The printers of the Linux kernel's usblp driver, as the emulation's host
// provider: every printer-class printer found in sysfs is a device of the
// USB printer class whose files share one connection to its node.
#include <linux/lp.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "../Device.h"
#include "LpConnection.h"
#include "LpSysfs.h"

namespace emu {
namespace usblp {
namespace {

const GUID kGuidUsbPrint = {
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

// usblp's request for the device id it keeps, which takes the caller's
// length in the size field of the request (14 bits).
#define LPIOC_GET_DEVICE_ID(len) _IOC(_IOC_READ, 'P', 1, len)
constexpr DWORD kMaxIdRequest = (1u << _IOC_SIZEBITS) - 1;
// usblp keeps at most this many bytes of an id, prefix included, and holds
// a prefix below 2 as 2.
constexpr DWORD kLpIdSize = 1024;

// The device id usblp hands out: it reports no count, but copies as many
// bytes as it takes the length prefix to say, within its bounds.
DWORD DeviceId(Guard &lock, CLpConnection &connection, DWORD nMax, std::vector<BYTE> *pAnswer) {
  std::vector<BYTE> raw(std::min(nMax, kMaxIdRequest), 0);
  const DWORD dwError = connection.Control(lock, LPIOC_GET_DEVICE_ID(raw.size()), raw.data());
  if (dwError != ERROR_SUCCESS) return dwError;
  const DWORD nPrefix = raw.size() < 2 ? 2 : (DWORD)raw[0] << 8 | raw[1];
  const DWORD nLength = std::min<DWORD>(std::max<DWORD>(nPrefix, 2), kLpIdSize - 1);
  raw.resize(std::min<size_t>(raw.size(), nLength));
  *pAnswer = std::move(raw);
  return ERROR_SUCCESS;
}

class CLpPrinter : public CDevice, public CLpLink {
 public:
  explicit CLpPrinter(const SLpPrinter &printer)
      : CDevice(SIM_CLASS_PRINTER, kGuidUsbPrint, printer.m_sInterfacePath),
        m_sNode(printer.m_sNode),
        m_sDevPath(printer.m_sDevPath) {}

  // Under the kernel lock (released meanwhile): a live connection for a new
  // file, opened now unless there is one. 0 or the Win32 error of the open.
  DWORD Connect(Guard &lock) {
    for (;;) {
      if (m_pConnection) return ERROR_SUCCESS;
      if (m_bOpening) {
        WaitUntil(lock, Deadline::After(INFINITE), [this] { return !m_bOpening; });
      } else if (m_pClosing && !m_pClosing->IsClosed()) {
        // usblp takes one open at a time: the last one must be closed first.
        WaitUntil(lock, Deadline::After(INFINITE), [this] { return m_pClosing->IsClosed(); });
      } else {
        break;
      }
    }
    m_pClosing.reset();
    m_bOpening = true;
    lock.unlock();
    DWORD dwError = ERROR_SUCCESS;
    std::shared_ptr<CLpConnection> pConnection = CLpConnection::Open(m_sNode, m_sDevPath, &dwError);
    lock.lock();
    m_bOpening = false;
    NotifyAll();
    if (!pConnection) return dwError;
    if (!pConnection->Start(this)) return ERROR_NOT_ENOUGH_MEMORY;
    m_pConnection = pConnection;
    m_nFiles = 0;
    return ERROR_SUCCESS;
  }

  // ---- CDevice ----
  bool IsPresent() const override { return m_pConnection != nullptr; }
  DWORD RemovalError() const override { return m_dwRemovalError; }
  bool StartWrite(const WritePtr &pWrite) override {
    if (pWrite->m_nWanted == 0) return true;
    m_writes.push_back(pWrite);
    RequestsChanged();
    return false;
  }
  void RequestsChanged() override {
    if (m_pConnection) m_pConnection->Wake();
  }
  DWORD ClassRequest(Guard &lock, int, DWORD dwCode, DWORD nMax,
                     std::vector<BYTE> *pAnswer) override {
    const std::shared_ptr<CLpConnection> pConnection = m_pConnection;
    if (!pConnection) return m_dwRemovalError;
    if (dwCode == IOCTL_USBPRINT_GET_LPT_STATUS) {
      int nStatus = 0;
      const DWORD dwError = pConnection->Control(lock, LPGETSTATUS, &nStatus);
      if (dwError == ERROR_SUCCESS) pAnswer->assign(1, static_cast<BYTE>(nStatus));
      return dwError;
    }
    return DeviceId(lock, *pConnection, nMax, pAnswer);
  }
  void FileOpened(CFile &file) override {
    if (file.m_nGeneration == m_nGeneration) ++m_nFiles;
  }
  void FileClosed(CFile &file) override {
    if (file.m_nGeneration != m_nGeneration || m_nFiles == 0) return;
    if (--m_nFiles == 0) Disconnect();
  }

  // ---- CLpLink ----
  size_t ReadWanted() override {
    for (const ReadPtr &p : m_reads) {
      if (ReceivesData(*p)) return p->m_nWanted - p->m_nGot;
    }
    return 0;
  }
  void OnBytesRead(const BYTE *pData, size_t nBytes) override { QueueToHost(*this, pData, nBytes); }
  void OnReadEnded(DWORD dwError) override {
    for (const ReadPtr &p : m_reads) {
      if (ReceivesData(*p)) {
        const ReadPtr pRead = p;
        CompleteRead(*this, pRead, dwError);
        return;
      }
    }
  }
  bool WriteWaiting() override { return !m_writes.empty(); }
  bool NextWrite(size_t nMax, std::vector<BYTE> *pBytes, WriteId *pId) override {
    if (m_writes.empty()) return false;
    const CWrite &write = *m_writes.front();
    const size_t nLeft = write.m_nWanted - write.m_nTaken;
    const BYTE *pFrom = write.m_pData + write.m_nTaken;
    pBytes->assign(pFrom, pFrom + (nLeft < nMax ? nLeft : nMax));
    *pId = m_writes.front();
    return true;
  }
  void OnWritten(const WriteId &id, size_t nBytes, DWORD dwError) override {
    // Writes go out in order, so the one named is the oldest unless it has
    // ended meanwhile: then it keeps its result (995 for a cancel), as a
    // cancelled Windows request does, and the next one starts whole.
    if (m_writes.empty() || id.owner_before(m_writes.front()) ||
        m_writes.front().owner_before(id)) {
      return;
    }
    const WritePtr pWrite = m_writes.front();
    if (dwError != ERROR_SUCCESS) {
      CompleteWrite(*this, pWrite, dwError);
      return;
    }
    pWrite->m_nTaken += static_cast<DWORD>(nBytes);
    if (pWrite->m_nTaken >= pWrite->m_nWanted) CompleteWrite(*this, pWrite, ERROR_SUCCESS);
  }
  void OnDead(DWORD dwError) override {
    // Files opened so far are dead for good, as after a simulated unplug.
    m_dwRemovalError = dwError;
    ++m_nGeneration;
    Disconnect();
    m_toHost.clear();
    AbortRequests(*this, dwError, [](const CRequest &) { return true; });
  }

 private:
  void Disconnect() {
    if (m_pConnection) m_pConnection->Stop();
    m_pClosing = std::move(m_pConnection);
    m_nFiles = 0;
    NotifyAll();
  }

  const std::string m_sNode;
  const std::string m_sDevPath;
  std::shared_ptr<CLpConnection> m_pConnection;  // shared by this generation's files
  std::shared_ptr<CLpConnection> m_pClosing;     // the previous one, until its node is closed
  bool m_bOpening = false;
  DWORD m_nFiles = 0;  // files of this generation still open
  DWORD m_dwRemovalError = ERROR_DEVICE_NOT_CONNECTED;
};

class CLpProvider : public CProvider {
 public:
  void ListInterfaces(Guard &lock, const GUID &guid, bool, std::vector<CInterface> *pOut) override {
    if (memcmp(&guid, &kGuidUsbPrint, sizeof guid) != 0) return;  // no native class here
    // Only present printers are known: sysfs forgets the others.
    for (const SLpPrinter &printer : Scan(lock)) {
      pOut->push_back(
          CInterface{kGuidUsbPrint, printer.m_sInterfacePath, true, true, IdentityOf(printer)});
    }
  }

  DevicePtr Open(Guard &lock, const std::string &sName, int *pnPipe, DWORD *pdwError) override {
    std::string sPath = sName;
    *pnPipe = SIM_PIPE_BARE;
    const std::vector<SLpPrinter> printers = Scan(lock);
    const SLpPrinter *pFound = Find(printers, sName);
    if (pFound == nullptr && SplitPipeName(sName, &sPath, pnPipe)) pFound = Find(printers, sPath);
    if (pFound == nullptr) {
      *pdwError = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    // usblp opens a node once at a time: one device, and so one connection,
    // for every interface path that has named its class entry (a twin
    // printer turns the serial form into the port form).
    std::shared_ptr<CLpPrinter> &pDev = m_printers[pFound->m_sDevPath];
    if (!pDev) pDev = std::make_shared<CLpPrinter>(*pFound);
    const std::shared_ptr<CLpPrinter> pKeep = pDev;
    *pdwError = pKeep->Connect(lock);
    return *pdwError == ERROR_SUCCESS ? pKeep : nullptr;
  }

 private:
  // What the USB device's sysfs attributes say. A serial number that does
  // not name the interface (one Windows would not take, or a twin's) does not
  // name the device either: Windows makes its instance id up.
  static CIdentity IdentityOf(const SLpPrinter &printer) {
    CIdentity id;
    id.m_wVendor = static_cast<WORD>(printer.m_nVendor);
    id.m_wProduct = static_cast<WORD>(printer.m_nProduct);
    id.m_nInterface = printer.m_bComposite ? static_cast<int>(printer.m_nInterface) : -1;
    if (printer.m_bSerialInPath) id.m_sSerial = printer.m_sSerial;
    id.m_sManufacturer = printer.m_sManufacturer;
    id.m_sProduct = printer.m_sProduct;
    id.m_sLocation = printer.m_sPort;
    id.m_sPort = printer.m_sPort;
    return id;
  }

  // sysfs is read without the kernel lock.
  static std::vector<SLpPrinter> Scan(Guard &lock) {
    lock.unlock();
    std::vector<SLpPrinter> printers = ScanPrinters();
    lock.lock();
    return printers;
  }
  static const SLpPrinter *Find(const std::vector<SLpPrinter> &printers, const std::string &sPath) {
    for (const SLpPrinter &printer : printers) {
      if (printer.m_sInterfacePath == sPath) return &printer;
    }
    return nullptr;
  }

  // Printers opened since the process started, by class entry; a file
  // keeps its printer's entry alive anyway, so none is ever dropped.
  std::map<std::string, std::shared_ptr<CLpPrinter>> m_printers;
};

}  // namespace
}  // namespace usblp

CProvider &HostProvider() {
  static usblp::CLpProvider *s_pProvider = new usblp::CLpProvider;
  return *s_pProvider;
}

}  // namespace emu
