// Simulated printers: the registry, the byte queues in both directions, the
// scripted pipe results and the Sim* control calls of simprinter.h.
#include "Devices.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace emu {
namespace {

// A native driver's time-outs when it is plugged in: a read returns what has
// come when 50 ms pass without a byte, or after one second in all.
constexpr COMMTIMEOUTS kDefaultTimeouts = {50, 0, 1000, 0, 1000};
constexpr size_t kMaxPath = 1023;
constexpr size_t kMaxResponders = 16;

struct CRegistry {
  std::map<SIMDEV, DevicePtr> m_devices;  // ids grow with every plug: map order is plug order
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

// Reads of PIPE01 never receive data: it is the pipe towards the printer.
bool ReceivesData(const CRead &read) { return read.m_pFile->m_nPipe != SIM_PIPE_01; }

// Unplugs under the lock: existing files die, pending reads end, queued
// bytes towards the host are lost.
void UnplugLocked(CDevice &dev) {
  dev.m_bPlugged = false;
  ++dev.m_nGeneration;
  dev.m_toHost.clear();
  dev.m_bWriteStall = false;
  AbortReads(dev, dev.m_dwRemovalError, [](const CRead &) { return true; });
  AbortWrites(dev, dev.m_dwRemovalError, [](const CWrite &) { return true; });
  NotifyAll();
}

// A scripted read result that arrives while a read is waiting ends that read.
// Only a read that has not taken bytes yet: its bytes would otherwise be lost.
bool ApplyReadScriptToWaiting(CDevice &dev, const CScript &script) {
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
  DevicePtr pDev = FindDevice(id);
  if (!pDev) return FALSE;
  CScript script{kind, nPipe, dwValue};
  if ((kind == ScriptKind::ReadError || kind == ScriptKind::ZeroRead) &&
      ApplyReadScriptToWaiting(*pDev, script)) {
    return TRUE;
  }
  pDev->m_scripts.push_back(script);
  return TRUE;
}

const char *ClassName(int nClass) {
  return nClass == SIM_CLASS_NATIVE ? "native" : "printer class";
}

}  // namespace

DevicePtr FindDevice(SIMDEV id) {
  auto &devices = Registry().m_devices;
  auto it = devices.find(id);
  return it == devices.end() ? nullptr : it->second;
}

DevicePtr FindPluggedDevice(const std::string &szPath) {
  for (const auto &entry : Registry().m_devices) {
    if (entry.second->m_bPlugged && entry.second->m_sPath == szPath) return entry.second;
  }
  return nullptr;
}

std::vector<DevicePtr> AllDevices() {
  std::vector<DevicePtr> all;
  for (const auto &entry : Registry().m_devices) all.push_back(entry.second);
  return all;
}

bool TakeScript(CDevice &dev, int nPipe, ScriptKind kindA, ScriptKind kindB, CScript *pOut) {
  for (auto it = dev.m_scripts.begin(); it != dev.m_scripts.end(); ++it) {
    if ((it->m_kind == kindA || it->m_kind == kindB) && PipeMatches(it->m_nPipe, nPipe)) {
      *pOut = *it;
      dev.m_scripts.erase(it);
      return true;
    }
  }
  return false;
}

void QueueToHost(CDevice &dev, const BYTE *pData, size_t nBytes) {
  dev.m_toHost.insert(dev.m_toHost.end(), pData, pData + nBytes);
  DeliverToHost(dev);
  NotifyAll();
}

void DeliverToHost(CDevice &dev) {
  const Clock::time_point now = Clock::now();
  auto it = dev.m_reads.begin();
  while (!dev.m_toHost.empty() && it != dev.m_reads.end()) {
    ReadPtr pRead = *it++;  // advance first: completion unlinks the read
    if (!ReceivesData(*pRead)) continue;
    const size_t nTake = std::min<size_t>(dev.m_toHost.size(), pRead->m_nWanted - pRead->m_nGot);
    std::copy_n(dev.m_toHost.begin(), nTake, pRead->m_pBuffer + pRead->m_nGot);
    dev.m_toHost.erase(dev.m_toHost.begin(), dev.m_toHost.begin() + nTake);
    pRead->m_nGot += static_cast<DWORD>(nTake);
    if (nTake > 0) pRead->m_tpLastByte = now;
    if (pRead->m_nGot == pRead->m_nWanted || (pRead->m_bTakeAny && pRead->m_nGot > 0)) {
      CompleteRead(dev, pRead, ERROR_SUCCESS);
    } else {
      // A read that waits to fill up holds back the reads issued after it.
      break;
    }
  }
  NotifyAll();
}

void LogWritten(CDevice &dev, const BYTE *pData, size_t nBytes) {
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

void CompleteRead(CDevice &dev, const ReadPtr &pRead, DWORD dwError) {
  pRead->m_bDone = true;
  pRead->m_dwError = dwError;
  dev.m_reads.remove(pRead);
  if (LPOVERLAPPED pOv = pRead->m_pOverlapped) {
    pOv->InternalHigh = pRead->m_nGot;
    pOv->Internal = dwError;
  }
  if (pRead->m_pEvent) SignalEventObject(pRead->m_pEvent);
  pRead->m_pFile->m_bSignalled = true;
  NotifyAll();
}

void CompleteWrite(CDevice &dev, const WritePtr &pWrite, DWORD dwError) {
  pWrite->m_bDone = true;
  pWrite->m_dwError = dwError;
  dev.m_writes.remove(pWrite);
  if (dwError == ERROR_SUCCESS) {
    LogWritten(dev, pWrite->m_pData, pWrite->m_nWanted);
    pWrite->m_nTaken = pWrite->m_nWanted;
  }
  if (LPOVERLAPPED pOv = pWrite->m_pOverlapped) {
    pOv->InternalHigh = pWrite->m_nTaken;
    pOv->Internal = dwError;
  }
  if (pWrite->m_pEvent) SignalEventObject(pWrite->m_pEvent);
  pWrite->m_pFile->m_bSignalled = true;
  NotifyAll();
}

void DevicesReset() {
  for (const auto &entry : Registry().m_devices) {
    if (entry.second->m_bPlugged) UnplugLocked(*entry.second);
  }
  Registry().m_devices.clear();
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
    const CDevice &dev = *entry.second;
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

  auto pDev = std::make_shared<CDevice>();
  pDev->m_nClass = nClass;
  pDev->m_guid = *pInterfaceClass;
  pDev->m_sPath.assign(pszPath, nLen);
  pDev->m_timeouts = kDefaultTimeouts;
  pDev->m_bPlugged = true;
  Guard lock(KernelLock());
  if (FindPluggedDevice(pDev->m_sPath)) return 0;
  CRegistry &reg = Registry();
  pDev->m_id = reg.m_nextId++;
  reg.m_devices.emplace(pDev->m_id, pDev);
  NotifyAll();
  return pDev->m_id;
}

BOOL SimUnplug(SIMDEV dev) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev || !pDev->m_bPlugged) return FALSE;
  UnplugLocked(*pDev);
  return TRUE;
}

BOOL SimReplug(SIMDEV dev) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev || pDev->m_bPlugged || FindPluggedDevice(pDev->m_sPath)) return FALSE;
  pDev->m_bPlugged = true;
  NotifyAll();
  return TRUE;
}

BOOL SimSetWriteStall(SIMDEV dev, BOOL bStall) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  pDev->m_bWriteStall = bStall != FALSE;
  if (!pDev->m_bWriteStall) {
    AbortWrites(*pDev, ERROR_SUCCESS, [](const CWrite &) { return true; });
  }
  NotifyAll();
  return TRUE;
}

BOOL SimWaitPendingWrites(SIMDEV dev, DWORD nWrites, DWORD dwTimeoutMs) {
  const Deadline dl = Deadline::After(dwTimeoutMs);
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  return WaitUntil(lock, dl, [&] { return pDev->m_writes.size() >= nWrites; }) ? TRUE : FALSE;
}

BOOL SimSetRemovalError(SIMDEV dev, DWORD dwError) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev || dwError == ERROR_SUCCESS) return FALSE;
  pDev->m_dwRemovalError = dwError;
  return TRUE;
}

BOOL SimIsPlugged(SIMDEV dev) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  return pDev && pDev->m_bPlugged ? TRUE : FALSE;
}

BOOL SimSend(SIMDEV dev, const void *pData, DWORD nBytes) {
  if (pData == nullptr && nBytes != 0) return FALSE;
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev || !pDev->m_bPlugged) return FALSE;
  QueueToHost(*pDev, static_cast<const BYTE *>(pData), nBytes);
  return TRUE;
}

DWORD SimPendingToHost(SIMDEV dev) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  return pDev ? static_cast<DWORD>(pDev->m_toHost.size()) : 0;
}

DWORD SimWritten(SIMDEV dev, void *pBuf, DWORD nCap) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev) return 0;
  const std::vector<BYTE> &log = pDev->m_written;
  const size_t nCopy = std::min<size_t>(nCap, log.size());
  if (pBuf != nullptr && nCopy != 0) memcpy(pBuf, log.data(), nCopy);
  return static_cast<DWORD>(log.size());
}

void SimClearWritten(SIMDEV dev) {
  Guard lock(KernelLock());
  if (DevicePtr pDev = FindDevice(dev)) pDev->m_written.clear();
}

BOOL SimAddResponder(SIMDEV dev, const void *pRequest, DWORD nRequest, const void *pReply,
                     DWORD nReply) {
  if (pRequest == nullptr || nRequest == 0 || (pReply == nullptr && nReply != 0)) return FALSE;
  const auto *pReq = static_cast<const BYTE *>(pRequest);
  const auto *pRep = static_cast<const BYTE *>(pReply);
  CResponder responder{std::vector<BYTE>(pReq, pReq + nRequest),
                       std::vector<BYTE>(pRep, pRep + nReply)};
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
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
  DevicePtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  *pTimeouts = pDev->m_timeouts;
  return TRUE;
}

BOOL SimSetTimeouts(SIMDEV dev, const COMMTIMEOUTS *pTimeouts) {
  if (pTimeouts == nullptr) return FALSE;
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  pDev->m_timeouts = *pTimeouts;
  NotifyAll();
  return TRUE;
}

DWORD SimPurgeCount(SIMDEV dev) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  return pDev ? pDev->m_nPurges : 0;
}

DWORD SimLastPurgeFlags(SIMDEV dev) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  return pDev ? pDev->m_dwLastPurgeFlags : 0;
}

DWORD SimPendingReads(SIMDEV dev) {
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  return pDev ? static_cast<DWORD>(pDev->m_reads.size()) : 0;
}

BOOL SimWaitPendingReads(SIMDEV dev, DWORD nReads, DWORD dwTimeoutMs) {
  const Deadline dl = Deadline::After(dwTimeoutMs);
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  return WaitUntil(lock, dl, [&] { return pDev->m_reads.size() >= nReads; }) ? TRUE : FALSE;
}

BOOL SimWaitWritten(SIMDEV dev, DWORD nBytes, DWORD dwTimeoutMs) {
  const Deadline dl = Deadline::After(dwTimeoutMs);
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  return WaitUntil(lock, dl, [&] { return pDev->m_written.size() >= nBytes; }) ? TRUE : FALSE;
}

BOOL SimWaitDrained(SIMDEV dev, DWORD dwTimeoutMs) {
  const Deadline dl = Deadline::After(dwTimeoutMs);
  Guard lock(KernelLock());
  DevicePtr pDev = FindDevice(dev);
  if (!pDev) return FALSE;
  return WaitUntil(lock, dl, [&] { return pDev->m_toHost.empty(); }) ? TRUE : FALSE;
}

}  // extern "C"
