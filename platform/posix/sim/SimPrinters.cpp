// Simulated printers: the provider that the emulation's tests, the demo and
// a driver developed without hardware plug printers into; the registry, the
// write log and responders, the scripted pipe results and the Sim* control
// calls of simprinter.h.
#include <algorithm>
#include <cstring>
#include <map>

#include "../Device.h"

namespace emu {
namespace {

class CResponder {
 public:
  std::vector<BYTE> m_request;
  std::vector<BYTE> m_reply;
};

class CSimPrinter : public CDevice {
 public:
  CSimPrinter(int nClass, const GUID &guid, std::string sPath)
      : CDevice(nClass, guid, std::move(sPath)) {}
  bool IsPresent() const override { return m_bPlugged; }
  DWORD RemovalError() const override { return m_dwRemovalError; }
  bool TakeScript(int nPipe, ScriptKind kindA, ScriptKind kindB, CScript *pOut) override;
  bool StartWrite(const WritePtr &pWrite) override;
  DWORD ClassRequest(Guard &lock, int nPipe, DWORD dwCode, DWORD nMax,
                     std::vector<BYTE> *pAnswer) override;

  SIMDEV m_id = 0;
  bool m_bPlugged = false;
  // What the driver answers on a file of a removed device (SimSetRemovalError).
  DWORD m_dwRemovalError = ERROR_DEVICE_NOT_CONNECTED;
  std::vector<BYTE> m_written;
  std::vector<CResponder> m_responders;
  std::deque<CScript> m_scripts;
  bool m_bWriteStall = false;  // SimSetWriteStall
  CIdentity m_identity;        // SimSetIdentity: the texts; the ids come from the path
  // The printer class requests' answers (SimSetPortStatus, SimSetDeviceId):
  // selected, no error; the id built from the identity until one is set.
  BYTE m_bPortStatus = 0x18;
  bool m_bDeviceIdSet = false;
  bool m_bDeviceIdAnswers = true;
  std::vector<BYTE> m_deviceId;
};
using SimPtr = std::shared_ptr<CSimPrinter>;

// A native driver's time-outs when it is plugged in: a read returns what has
// come when 50 ms pass without a byte, or after one second in all.
constexpr COMMTIMEOUTS kDefaultTimeouts = {50, 0, 1000, 0, 1000};
constexpr size_t kMaxPath = 1023;
constexpr size_t kMaxResponders = 16;

struct CRegistry {
  bool m_bHostPrinters = true;         // SimUseHostPrinters
  std::map<SIMDEV, SimPtr> m_devices;  // ids grow with every plug: map order is plug order
  SIMDEV m_nextId = 1;
};

// Never destroyed: emulated threads may still touch it during static
// destruction, like the kernel state.
CRegistry &Registry() {
  static CRegistry *s_pRegistry = new CRegistry;
  return *s_pRegistry;
}

bool PipeMatches(int nScriptPipe, int nPipe) {
  return nScriptPipe == SIM_PIPE_ANY || nScriptPipe == nPipe;
}

bool ValidPipe(int nPipe) {
  return nPipe == SIM_PIPE_ANY || (nPipe >= SIM_PIPE_BARE && nPipe <= SIM_PIPE_01);
}

SimPtr FindDevice(SIMDEV id) {
  auto &devices = Registry().m_devices;
  auto it = devices.find(id);
  return it == devices.end() ? nullptr : it->second;
}

SimPtr FindPluggedDevice(const std::string &szPath) {
  for (const auto &entry : Registry().m_devices) {
    if (entry.second->m_bPlugged && entry.second->m_sPath == szPath) return entry.second;
  }
  return nullptr;
}

// Appends host bytes to the write log and queues the replies of responders.
void LogWritten(CSimPrinter &dev, const BYTE *pData, size_t nBytes) {
  dev.m_written.insert(dev.m_written.end(), pData, pData + nBytes);
  for (const CResponder &r : dev.m_responders) {
    if (dev.m_written.size() >= r.m_request.size() &&
        std::equal(r.m_request.rbegin(), r.m_request.rend(), dev.m_written.rbegin())) {
      QueueToHost(dev, r.m_reply.data(), r.m_reply.size());
      break;
    }
  }
  NotifyAll();
}

// Unplugs under the lock: existing files die, pending reads end, queued
// bytes towards the host are lost.
void UnplugLocked(CSimPrinter &dev) {
  dev.m_bPlugged = false;
  ++dev.m_nGeneration;
  dev.m_nDropped += static_cast<DWORD>(dev.m_toHost.size());
  dev.m_toHost.clear();
  dev.m_bWriteStall = false;
  AbortRequests(dev, dev.m_dwRemovalError, [](const CRequest &) { return true; });
  NotifyAll();
}

// A scripted read result that arrives while a read is waiting ends that read.
// Only a read that has not taken bytes yet: its bytes would otherwise be lost.
bool ApplyReadScriptToWaiting(CSimPrinter &dev, const CScript &script) {
  for (const ReadPtr &p : dev.m_reads) {
    if (p->m_nGot == 0 && PipeMatches(script.m_nPipe, p->m_pFile->m_nPipe)) {
      ReadPtr pRead = p;
      CompleteRead(dev, pRead, script.m_kind == ScriptKind::ReadError ? script.m_dwValue : 0);
      return true;
    }
  }
  return false;
}

BOOL AddScript(SIMDEV id, int nPipe, ScriptKind kind, DWORD dwValue) {
  if (!ValidPipe(nPipe)) return FALSE;
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(id);
  if (!pDev) return FALSE;
  CScript script{kind, nPipe, dwValue};
  if ((kind == ScriptKind::ReadError || kind == ScriptKind::ZeroRead) &&
      ApplyReadScriptToWaiting(*pDev, script)) {
    return TRUE;
  }
  pDev->m_scripts.push_back(script);
  return TRUE;
}

std::string DefaultLocation(SIMDEV id) { return "1-" + std::to_string(id); }

std::optional<std::string> Text(const char *psz) {
  return psz == nullptr ? std::nullopt : std::optional<std::string>(psz);
}

const char *ClassName(int nClass) {
  return nClass == SIM_CLASS_NATIVE ? "native" : "printer class";
}

// The simulated printers' provider: only plugged printers open.
class CSimProvider : public CProvider {
 public:
  void ListInterfaces(Guard &, const GUID &guid, bool bPresentOnly,
                      std::vector<CInterface> *pOut) override {
    // Without DIGCF_PRESENT the interfaces of removed devices stay listed, as
    // registered interfaces do on Windows.
    for (const auto &entry : Registry().m_devices) {
      const CSimPrinter &dev = *entry.second;
      if (memcmp(&dev.m_guid, &guid, sizeof guid) != 0) continue;
      if (!dev.m_bPlugged && bPresentOnly) continue;
      CIdentity identity = dev.m_identity;
      ParseUsbIds(dev.m_sPath, &identity);
      identity.m_sPort = identity.m_sLocation.value_or(DefaultLocation(dev.m_id));
      pOut->push_back(CInterface{dev.m_guid, dev.m_sPath, dev.m_bPlugged,
                                 dev.m_nClass == SIM_CLASS_PRINTER, identity});
    }
  }

  DevicePtr Open(Guard &, const std::string &sName, int *pnPipe, DWORD *pdwError) override {
    *pnPipe = SIM_PIPE_BARE;
    SimPtr pDev = FindPluggedDevice(sName);
    std::string sPath;
    if (!pDev && SplitPipeName(sName, &sPath, pnPipe)) pDev = FindPluggedDevice(sPath);
    if (!pDev) {
      *pdwError = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    CScript script;
    if (pDev->TakeScript(*pnPipe, ScriptKind::OpenError, ScriptKind::OpenError, &script)) {
      *pdwError = script.m_dwValue;
      return nullptr;
    }
    return pDev;
  }
};

}  // namespace

bool CSimPrinter::TakeScript(int nPipe, ScriptKind kindA, ScriptKind kindB, CScript *pOut) {
  for (auto it = m_scripts.begin(); it != m_scripts.end(); ++it) {
    if ((it->m_kind == kindA || it->m_kind == kindB) && PipeMatches(it->m_nPipe, nPipe)) {
      *pOut = *it;
      m_scripts.erase(it);
      return true;
    }
  }
  return false;
}

bool CSimPrinter::StartWrite(const WritePtr &pWrite) {
  if (m_bWriteStall && pWrite->m_nWanted != 0) {
    // The device takes nothing now: the write waits for the stall to end.
    m_writes.push_back(pWrite);
    NotifyAll();
    return false;
  }
  LogWritten(*this, pWrite->m_pData, pWrite->m_nWanted);
  pWrite->m_nTaken = pWrite->m_nWanted;
  return true;
}

// The id a printer gives until one is set, with its length prefix.
static std::vector<BYTE> DefaultDeviceId(const CIdentity &identity) {
  const std::string sText = "MFG:" + identity.m_sManufacturer.value_or("") +
                            ";MDL:" + identity.m_sProduct.value_or("") +
                            ";CMD:ESC/POS;CLS:PRINTER;";
  const size_t nLength = std::min<size_t>(sText.size() + 2, 0xFFFF);
  std::vector<BYTE> raw(nLength);
  raw[0] = static_cast<BYTE>(nLength >> 8);
  raw[1] = static_cast<BYTE>(nLength & 0xFF);
  memcpy(raw.data() + 2, sText.data(), nLength - 2);
  return raw;
}

DWORD CSimPrinter::ClassRequest(Guard &, int nPipe, DWORD dwCode, DWORD,
                                std::vector<BYTE> *pAnswer) {
  CScript script;
  if (TakeScript(nPipe, ScriptKind::ControlError, ScriptKind::ControlError, &script)) {
    return script.m_dwValue;
  }
  if (dwCode == IOCTL_USBPRINT_GET_LPT_STATUS) {
    pAnswer->assign(1, m_bPortStatus);
    return ERROR_SUCCESS;
  }
  if (!m_bDeviceIdAnswers) return ERROR_GEN_FAILURE;
  *pAnswer = m_bDeviceIdSet ? m_deviceId : DefaultDeviceId(m_identity);
  return ERROR_SUCCESS;
}

CProvider &SimProvider() {
  static CSimProvider *s_pProvider = new CSimProvider;
  return *s_pProvider;
}

bool SimProviderInCharge() { return !Registry().m_devices.empty() || !Registry().m_bHostPrinters; }

void DevicesReset() {
  for (const auto &entry : Registry().m_devices) {
    if (entry.second->m_bPlugged) UnplugLocked(*entry.second);
  }
  Registry().m_devices.clear();
  Registry().m_bHostPrinters = true;
  NotifyAll();
}

DWORD DeviceCount() {
  DWORD n = 0;
  for (const auto &entry : Registry().m_devices) n += entry.second->m_bPlugged ? 1 : 0;
  return n;
}

std::string DescribeDevices() {
  std::string s;
  for (const auto &entry : Registry().m_devices) {
    const CSimPrinter &dev = *entry.second;
    if (!dev.m_bPlugged) continue;
    char sz[96];
    snprintf(sz, sizeof sz, "device %d (%s, %zu reads and %zu writes pending): ", dev.m_id,
             ClassName(dev.m_nClass), dev.m_reads.size(), dev.m_writes.size());
    s += sz;
    s += dev.m_sPath;
    s += '\n';
  }
  return s + DescribeDeviceInfoSets();
}

}  // namespace emu

using namespace emu;

extern "C" {

const GUID SIM_GUID_DEVINTERFACE_USBPRINT = {
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

SIMDEV SimPlug(int nClass, const GUID *pInterfaceClass, const char *pszPath) {
  if (nClass != SIM_CLASS_NATIVE && nClass != SIM_CLASS_PRINTER) return 0;
  if (pInterfaceClass == nullptr) {
    if (nClass == SIM_CLASS_NATIVE) return 0;
    pInterfaceClass = &SIM_GUID_DEVINTERFACE_USBPRINT;
  }
  if (pszPath == nullptr) return 0;
  const size_t nLen = strnlen(pszPath, kMaxPath + 1);
  if (nLen == 0 || nLen > kMaxPath) return 0;

  auto pDev = std::make_shared<CSimPrinter>(nClass, *pInterfaceClass, std::string(pszPath, nLen));
  pDev->m_timeouts = kDefaultTimeouts;
  pDev->m_bPlugged = true;
  Guard lock(KernelLock());
  if (FindPluggedDevice(pDev->m_sPath)) return 0;
  CRegistry &reg = Registry();
  pDev->m_id = reg.m_nextId++;
  char szSerial[16];
  snprintf(szSerial, sizeof szSerial, "SIM%04d", pDev->m_id);
  pDev->m_identity.m_sManufacturer = "Velto";
  pDev->m_identity.m_sProduct =
      nClass == SIM_CLASS_NATIVE ? "Simulated native printer" : "Simulated printer";
  pDev->m_identity.m_sSerial = szSerial;
  pDev->m_identity.m_sLocation = DefaultLocation(pDev->m_id);
  reg.m_devices.emplace(pDev->m_id, pDev);
  NotifyAll();
  return pDev->m_id;
}

void SimUseHostPrinters(BOOL bUse) {
  Guard lock(KernelLock());
  Registry().m_bHostPrinters = bUse != FALSE;
}

BOOL SimUnplug(SIMDEV dev) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev || !pDev->m_bPlugged) return FALSE;
  UnplugLocked(*pDev);
  return TRUE;
}

BOOL SimReplug(SIMDEV dev) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev || pDev->m_bPlugged || FindPluggedDevice(pDev->m_sPath)) return FALSE;
  pDev->m_bPlugged = true;
  NotifyAll();
  return TRUE;
}

BOOL SimSetIdentity(SIMDEV dev, const char *pszManufacturer, const char *pszProduct,
                    const char *pszSerial, const char *pszLocation) {
  if (pszSerial != nullptr && !UsableSerial(pszSerial)) return FALSE;
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  CIdentity &identity = pDev->m_identity;
  identity.m_sManufacturer = Text(pszManufacturer);
  identity.m_sProduct = Text(pszProduct);
  identity.m_sSerial = Text(pszSerial);
  identity.m_sLocation = Text(pszLocation);
  return TRUE;
}

BOOL SimSetPortStatus(SIMDEV dev, BYTE bStatus) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  pDev->m_bPortStatus = bStatus;
  return TRUE;
}

BOOL SimSetDeviceId(SIMDEV dev, const void *pRaw, DWORD nBytes) {
  if (nBytes > 0xFFFF || (pRaw == nullptr && nBytes != 0)) return FALSE;
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  const BYTE *pBytes = static_cast<const BYTE *>(pRaw);
  pDev->m_bDeviceIdSet = true;
  pDev->m_bDeviceIdAnswers = pRaw != nullptr;
  pDev->m_deviceId.assign(pBytes, pBytes + (pRaw != nullptr ? nBytes : 0));
  return TRUE;
}

BOOL SimScriptControlError(SIMDEV dev, int nPipe, DWORD dwError) {
  return AddScript(dev, nPipe, ScriptKind::ControlError, dwError);
}

BOOL SimSetWriteStall(SIMDEV dev, BOOL bStall) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  pDev->m_bWriteStall = bStall != FALSE;
  if (!pDev->m_bWriteStall) {
    // The stalled writes take their bytes, in order.
    const std::list<WritePtr> writes = pDev->m_writes;
    for (const WritePtr &pWrite : writes) {
      LogWritten(*pDev, pWrite->m_pData, pWrite->m_nWanted);
      pWrite->m_nTaken = pWrite->m_nWanted;
      CompleteWrite(*pDev, pWrite, ERROR_SUCCESS);
    }
  }
  NotifyAll();
  return TRUE;
}

BOOL SimWaitPendingWrites(SIMDEV dev, DWORD nWrites, DWORD dwTimeoutMs) {
  const Deadline dl = Deadline::After(dwTimeoutMs);
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  return WaitUntil(lock, dl, [&] { return pDev->m_writes.size() >= nWrites; }) ? TRUE : FALSE;
}

BOOL SimSetRemovalError(SIMDEV dev, DWORD dwError) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev || dwError == ERROR_SUCCESS) return FALSE;
  pDev->m_dwRemovalError = dwError;
  return TRUE;
}

BOOL SimIsPlugged(SIMDEV dev) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  return pDev && pDev->m_bPlugged ? TRUE : FALSE;
}

BOOL SimSend(SIMDEV dev, const void *pData, DWORD nBytes) {
  if (pData == nullptr && nBytes != 0) return FALSE;
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev || !pDev->m_bPlugged) return FALSE;
  QueueToHost(*pDev, static_cast<const BYTE *>(pData), nBytes);
  return TRUE;
}

DWORD SimPendingToHost(SIMDEV dev) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  return pDev ? static_cast<DWORD>(pDev->m_toHost.size()) : 0;
}

DWORD SimBytesDropped(SIMDEV dev) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  return pDev ? pDev->m_nDropped : 0;
}

DWORD SimWritten(SIMDEV dev, void *pBuf, DWORD nCap) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return 0;
  const std::vector<BYTE> &log = pDev->m_written;
  const size_t nCopy = std::min<size_t>(nCap, log.size());
  if (pBuf != nullptr && nCopy != 0) memcpy(pBuf, log.data(), nCopy);
  return static_cast<DWORD>(log.size());
}

void SimClearWritten(SIMDEV dev) {
  Guard lock(KernelLock());
  if (SimPtr pDev = FindDevice(dev)) pDev->m_written.clear();
}

BOOL SimAddResponder(SIMDEV dev, const void *pRequest, DWORD nRequest, const void *pReply,
                     DWORD nReply) {
  if (pRequest == nullptr || nRequest == 0 || (pReply == nullptr && nReply != 0)) return FALSE;
  const auto *pReq = static_cast<const BYTE *>(pRequest);
  const auto *pRep = static_cast<const BYTE *>(pReply);
  CResponder responder{std::vector<BYTE>(pReq, pReq + nRequest),
                       std::vector<BYTE>(pRep, pRep + nReply)};
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  for (CResponder &r : pDev->m_responders) {
    if (r.m_request == responder.m_request) {
      r.m_reply = std::move(responder.m_reply);
      return TRUE;
    }
  }
  if (pDev->m_responders.size() >= kMaxResponders) return FALSE;
  pDev->m_responders.push_back(std::move(responder));
  return TRUE;
}

BOOL SimScriptOpenError(SIMDEV dev, int nPipe, DWORD dwError) {
  return AddScript(dev, nPipe, ScriptKind::OpenError, dwError);
}

BOOL SimScriptReadError(SIMDEV dev, int nPipe, DWORD dwError) {
  return AddScript(dev, nPipe, ScriptKind::ReadError, dwError);
}

BOOL SimScriptZeroRead(SIMDEV dev, int nPipe) {
  return AddScript(dev, nPipe, ScriptKind::ZeroRead, 0);
}

BOOL SimScriptWriteError(SIMDEV dev, int nPipe, DWORD dwError) {
  return AddScript(dev, nPipe, ScriptKind::WriteError, dwError);
}

BOOL SimScriptShortWrite(SIMDEV dev, int nPipe, DWORD nBytes) {
  return AddScript(dev, nPipe, ScriptKind::ShortWrite, nBytes);
}

BOOL SimGetTimeouts(SIMDEV dev, COMMTIMEOUTS *pTimeouts) {
  if (pTimeouts == nullptr) return FALSE;
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  *pTimeouts = pDev->m_timeouts;
  return TRUE;
}

BOOL SimSetTimeouts(SIMDEV dev, const COMMTIMEOUTS *pTimeouts) {
  if (pTimeouts == nullptr) return FALSE;
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  pDev->m_timeouts = *pTimeouts;
  NotifyAll();
  return TRUE;
}

DWORD SimPurgeCount(SIMDEV dev) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  return pDev ? pDev->m_nPurges : 0;
}

DWORD SimLastPurgeFlags(SIMDEV dev) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  return pDev ? pDev->m_dwLastPurgeFlags : 0;
}

DWORD SimPendingReads(SIMDEV dev) {
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  return pDev ? static_cast<DWORD>(pDev->m_reads.size()) : 0;
}

BOOL SimWaitPendingReads(SIMDEV dev, DWORD nReads, DWORD dwTimeoutMs) {
  const Deadline dl = Deadline::After(dwTimeoutMs);
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  return WaitUntil(lock, dl, [&] { return pDev->m_reads.size() >= nReads; }) ? TRUE : FALSE;
}

BOOL SimWaitWritten(SIMDEV dev, DWORD nBytes, DWORD dwTimeoutMs) {
  const Deadline dl = Deadline::After(dwTimeoutMs);
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  return WaitUntil(lock, dl, [&] { return pDev->m_written.size() >= nBytes; }) ? TRUE : FALSE;
}

BOOL SimWaitDrained(SIMDEV dev, DWORD dwTimeoutMs) {
  const Deadline dl = Deadline::After(dwTimeoutMs);
  Guard lock(KernelLock());
  SimPtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  return WaitUntil(lock, dl, [&] { return pDev->m_toHost.empty(); }) ? TRUE : FALSE;
}

}  // extern "C"
