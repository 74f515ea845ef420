// Device half of the emulation: simulated printers, the files opened on them
// and the reads in flight. Everything here lives under the kernel lock.
#pragma once

#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "Kernel.h"

namespace emu {

class CFile;

// One read in flight (or a synchronous read whose caller is blocked). The
// record keeps the file and the completion event alive until it completes.
class CRead {
 public:
  std::shared_ptr<CFile> m_pFile;
  DWORD m_dwTid = 0;  // issuing thread, for CancelIo
  BYTE *m_pBuffer = nullptr;
  DWORD m_nWanted = 0;
  DWORD m_nGot = 0;
  // Completes as soon as it holds a byte (printer-class and overlapped reads,
  // the "first byte" time-out rule); otherwise it fills up or times out.
  bool m_bTakeAny = true;
  bool m_bDone = false;
  DWORD m_dwError = 0;
  LPOVERLAPPED m_pOverlapped = nullptr;
  ObjectPtr m_pEvent;  // the event of m_pOverlapped, if any
  Clock::time_point m_tpLastByte;
};
using ReadPtr = std::shared_ptr<CRead>;

// One write blocked on a stalled device (a synchronous caller waits for it,
// an overlapped one pends). It takes its bytes when the stall ends.
class CWrite {
 public:
  std::shared_ptr<CFile> m_pFile;
  DWORD m_dwTid = 0;  // issuing thread, for CancelIo
  const BYTE *m_pData = nullptr;
  DWORD m_nWanted = 0;
  DWORD m_nTaken = 0;
  bool m_bDone = false;
  DWORD m_dwError = 0;
  LPOVERLAPPED m_pOverlapped = nullptr;
  ObjectPtr m_pEvent;
};
using WritePtr = std::shared_ptr<CWrite>;

enum class ScriptKind { OpenError, ReadError, ZeroRead, WriteError, ShortWrite };

class CScript {
 public:
  ScriptKind m_kind;
  int m_nPipe;      // SIM_PIPE_*
  DWORD m_dwValue;  // error code or byte count
};

class CResponder {
 public:
  std::vector<BYTE> m_request;
  std::vector<BYTE> m_reply;
};

class CDevice {
 public:
  SIMDEV m_id = 0;
  int m_nClass = SIM_CLASS_NATIVE;
  GUID m_guid{};
  std::string m_sPath;
  bool m_bPlugged = false;
  // Bumped by every unplug: files opened under an older generation are dead.
  unsigned long long m_nGeneration = 0;
  // What the driver answers on a file of a removed device (SimSetRemovalError).
  DWORD m_dwRemovalError = ERROR_DEVICE_NOT_CONNECTED;
  std::deque<BYTE> m_toHost;
  std::vector<BYTE> m_written;
  std::vector<CResponder> m_responders;
  std::deque<CScript> m_scripts;
  COMMTIMEOUTS m_timeouts{};
  DWORD m_nPurges = 0;
  DWORD m_dwLastPurgeFlags = 0;
  std::list<ReadPtr> m_reads;    // in issue order: the order bytes are handed out
  bool m_bWriteStall = false;    // SimSetWriteStall
  std::list<WritePtr> m_writes;  // blocked writes, in issue order

  bool IsNative() const { return m_nClass == SIM_CLASS_NATIVE; }
};
using DevicePtr = std::shared_ptr<CDevice>;

// A file opened on a device by CreateFileA.
class CFile : public Object {
 public:
  CFile(const DevicePtr &pDevice, int nPipe, bool bOverlapped)
      : Object(ObjType::File),
        m_pDevice(pDevice),
        m_nPipe(nPipe),
        m_bOverlapped(bOverlapped),
        m_nGeneration(pDevice->m_nGeneration) {}
  // Like a Windows file object: signalled when an I/O on it completes, reset
  // when one starts.
  bool IsSignalled(DWORD dwTid) const override {
    (void)dwTid;
    return m_bSignalled;
  }
  void WaitBeforeLastClose(Guard &lock) override;
  void OnLastHandleClosed() override;
  std::string Describe() const override;
  bool IsConnected() const {
    return m_pDevice->m_bPlugged && m_pDevice->m_nGeneration == m_nGeneration;
  }

  const DevicePtr m_pDevice;
  const int m_nPipe;  // SIM_PIPE_BARE, SIM_PIPE_00 or SIM_PIPE_01
  const bool m_bOverlapped;
  const unsigned long long m_nGeneration;
  bool m_bSignalled = false;
  // A synchronous file object runs one request at a time: the thread whose
  // request runs now (0: none).
  DWORD m_dwIoTid = 0;
  bool m_bClosed = false;  // its last handle went: later requests fail
};

// ---- Registry of the simulated printers (Devices.cpp) ----
DevicePtr FindDevice(SIMDEV id);
// A plugged device whose interface path is exactly szPath.
DevicePtr FindPluggedDevice(const std::string &szPath);
// Every known device, plugged or not, in the order first plugged.
std::vector<DevicePtr> AllDevices();

// Takes the oldest script of kind kindA or kindB that applies to nPipe.
bool TakeScript(CDevice &dev, int nPipe, ScriptKind kindA, ScriptKind kindB, CScript *pOut);

// Queues bytes towards the host and hands them to the waiting reads.
void QueueToHost(CDevice &dev, const BYTE *pData, size_t nBytes);
// Hands queued bytes to the waiting reads, in issue order.
void DeliverToHost(CDevice &dev);
// Appends host bytes to the write log and queues the replies of responders.
void LogWritten(CDevice &dev, const BYTE *pData, size_t nBytes);

// Ends a read: fills its OVERLAPPED, signals its event and file, wakes waiters.
void CompleteRead(CDevice &dev, const ReadPtr &pRead, DWORD dwError);
// Ends a blocked write: on success it takes its bytes into the write log.
void CompleteWrite(CDevice &dev, const WritePtr &pWrite, DWORD dwError);
// Ends every blocked write that matches pred with dwError.
template <class Pred>
void AbortWrites(CDevice &dev, DWORD dwError, Pred pred) {
  std::vector<WritePtr> victims;
  for (const WritePtr &p : dev.m_writes) {
    if (pred(*p)) victims.push_back(p);
  }
  for (const WritePtr &p : victims) CompleteWrite(dev, p, dwError);
}
// Ends every pending read that matches pred with dwError.
template <class Pred>
void AbortReads(CDevice &dev, DWORD dwError, Pred pred) {
  std::vector<ReadPtr> victims;
  for (const ReadPtr &p : dev.m_reads) {
    if (pred(*p)) victims.push_back(p);
  }
  for (const ReadPtr &p : victims) CompleteRead(dev, p, dwError);
}

// One line per device information set not yet destroyed (SetupApi.cpp).
std::string DescribeDeviceInfoSets();

}  // namespace emu
