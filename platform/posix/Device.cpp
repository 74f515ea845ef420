// The part of the device interface that is the same for every provider:
// requests in flight, their completion, the pipe names, who is in charge.
#include "Device.h"

#include <strings.h>

#include <algorithm>

namespace emu {

CDevice::CDevice(int nClass, const GUID &guid, std::string sPath)
    : m_nClass(nClass), m_guid(guid), m_sPath(std::move(sPath)) {}

CProvider &ActiveProvider() { return SimProviderInCharge() ? SimProvider() : HostProvider(); }

bool SplitPipeName(const std::string &sName, std::string *pPath, int *pnPipe) {
  const size_t nSep = sName.rfind('\\');
  if (nSep == std::string::npos) return false;
  const char *pszPipe = sName.c_str() + nSep + 1;
  if (strcasecmp(pszPipe, "PIPE00") == 0) {
    *pnPipe = SIM_PIPE_00;
  } else if (strcasecmp(pszPipe, "PIPE01") == 0) {
    *pnPipe = SIM_PIPE_01;
  } else {
    return false;
  }
  *pPath = sName.substr(0, nSep);
  return true;
}

bool ReceivesData(const CRead &read) { return read.m_pFile->m_nPipe != SIM_PIPE_01; }

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
      // The interval time-out runs from the last byte.
      if (nTake > 0) ArmReadTimer(*pRead);
      // A read that waits to fill up holds back the reads issued after it.
      break;
    }
  }
  NotifyAll();
}

Clock::time_point CRead::Due() const {
  Clock::time_point tp = m_tpTotal;
  if (m_interval != Clock::duration::zero() && m_nGot > 0) {
    tp = std::min(tp, m_tpLastByte + m_interval);
  }
  return tp;
}

void ArmReadTimer(CRead &read) {
  const Clock::time_point tpDue = read.Due();
  if (tpDue != Clock::time_point::max()) ArmTimer(read, tpDue);
}

// A driver's time-out is no error: the read ends with what has come.
void CRead::OnDeadline() {
  CompleteRead(*m_pFile->m_pDevice, std::static_pointer_cast<CRead>(shared_from_this()),
               ERROR_SUCCESS);
}

// A serial driver's write time-out: success with what was taken.
void CWrite::OnDeadline() {
  CompleteWrite(*m_pFile->m_pDevice, std::static_pointer_cast<CWrite>(shared_from_this()),
                ERROR_SUCCESS);
}

namespace {

// The end of any request: its OVERLAPPED gets the result, its event and
// file are signalled, waiters wake.
void Finish(CDevice &dev, CRequest &request, DWORD dwError, DWORD nBytes) {
  request.m_bDone = true;
  request.m_dwError = dwError;
  DisarmTimer(request);
  if (LPOVERLAPPED pOv = request.m_pOverlapped) {
    pOv->InternalHigh = nBytes;
    pOv->Internal = dwError;
  }
  if (request.m_pEvent) SignalEventObject(request.m_pEvent);
  request.m_pFile->m_bSignalled = true;
  dev.RequestsChanged();
  NotifyAll();
}

}  // namespace

void CompleteRead(CDevice &dev, const ReadPtr &pRead, DWORD dwError) {
  dev.m_reads.remove(pRead);
  Finish(dev, *pRead, dwError, pRead->m_nGot);
}

void CompleteWrite(CDevice &dev, const WritePtr &pWrite, DWORD dwError) {
  dev.m_writes.remove(pWrite);
  Finish(dev, *pWrite, dwError, pWrite->m_nTaken);
}

}  // namespace emu
