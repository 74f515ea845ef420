// The device interface of the emulation: what the file calls (Files.cpp) and
// SetupAPI (SetupApi.cpp) need of a printer, whoever provides it.
//
// A provider (the simulated printers in sim/, the printers the Linux kernel's
// usblp driver drives in usblp/) lists interfaces and opens devices; a device
// takes the reads and writes in flight, kept here in one form for all. Reads
// are fed from m_toHost in issue order; a write is taken at once or queued
// until the device takes it. Whatever ends a request completes it here under
// the kernel lock. Everything here lives under the kernel lock.
#pragma once

#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Kernel.h"

namespace emu {

class CFile;
class CDevice;

// What a read and a write in flight share. The record keeps the file and
// the completion event alive until it completes. A driver's time-out is a
// deadline on the kernel's timer, which completes the request then.
class CRequest : public CTimed {
 public:
  std::shared_ptr<CFile> m_pFile;
  DWORD m_dwTid = 0;  // issuing thread, for CancelIo
  bool m_bDone = false;
  DWORD m_dwError = 0;
  LPOVERLAPPED m_pOverlapped = nullptr;
  ObjectPtr m_pEvent;  // the event of m_pOverlapped, if any
};

// One read in flight (or a synchronous read whose caller is blocked).
class CRead : public CRequest {
 public:
  void OnDeadline() override;
  // When the driver's time-outs end the read as it stands (max(): never).
  Clock::time_point Due() const;

  BYTE *m_pBuffer = nullptr;
  DWORD m_nWanted = 0;
  DWORD m_nGot = 0;
  // Completes as soon as it holds a byte (printer-class reads, the "first
  // byte" time-out rule); otherwise it fills up or times out.
  bool m_bTakeAny = true;
  // A native driver's total time-out, from the issue (max(): none), and its
  // interval time-out, between bytes once some came (zero: none).
  Clock::time_point m_tpTotal = Clock::time_point::max();
  Clock::duration m_interval = Clock::duration::zero();
  Clock::time_point m_tpLastByte;
};
using ReadPtr = std::shared_ptr<CRead>;

// One write the device has not taken yet (a synchronous caller waits for it,
// an overlapped one pends); a native driver's write time-out completes it
// with what was taken.
class CWrite : public CRequest {
 public:
  void OnDeadline() override;

  const BYTE *m_pData = nullptr;
  DWORD m_nWanted = 0;
  DWORD m_nTaken = 0;
};
using WritePtr = std::shared_ptr<CWrite>;

// Results scripted for a device's next requests (the simulated printers'
// failure scripts).
enum class ScriptKind { OpenError, ReadError, ZeroRead, WriteError, ShortWrite, ControlError };

class CScript {
 public:
  ScriptKind m_kind;
  int m_nPipe;      // SIM_PIPE_*
  DWORD m_dwValue;  // error code or byte count
};

// A printer that files open on.
class CDevice {
 public:
  CDevice(int nClass, const GUID &guid, std::string sPath);
  virtual ~CDevice() = default;
  CDevice(const CDevice &) = delete;
  CDevice &operator=(const CDevice &) = delete;

  bool IsNative() const { return m_nClass == SIM_CLASS_NATIVE; }

  // ---- What each provider decides, under the kernel lock ----
  // The device is there (plugged, its node open and alive).
  virtual bool IsPresent() const = 0;
  // What the driver answers on a file of a removed device.
  virtual DWORD RemovalError() const { return ERROR_DEVICE_NOT_CONNECTED; }
  // Takes the oldest scripted result of kind kindA or kindB for nPipe.
  virtual bool TakeScript(int nPipe, ScriptKind kindA, ScriptKind kindB, CScript *pOut) {
    (void)nPipe, (void)kindA, (void)kindB, (void)pOut;
    return false;
  }
  // A write begins: either the device takes it now (sets m_nTaken, returns
  // true) or it queues it in m_writes and completes it later.
  virtual bool StartWrite(const WritePtr &pWrite) = 0;
  // The requests in flight changed (one queued or ended): a device that
  // moves data by itself looks again.
  virtual void RequestsChanged() {}
  // A file was opened on the device; its last handle was closed.
  virtual void FileOpened(CFile &file) { (void)file; }
  virtual void FileClosed(CFile &file) { (void)file; }
  // A printer class request (IOCTL_USBPRINT_GET_LPT_STATUS or _GET_1284_ID)
  // on a file of pipe nPipe whose caller takes up to nMax bytes: ERROR_SUCCESS
  // with the printer's answer in *pAnswer (it may be longer than nMax), else
  // the error. Under the kernel lock; may release it meanwhile.
  virtual DWORD ClassRequest(Guard &lock, int nPipe, DWORD dwCode, DWORD nMax,
                             std::vector<BYTE> *pAnswer) {
    (void)lock, (void)nPipe, (void)dwCode, (void)nMax, (void)pAnswer;
    return ERROR_INVALID_FUNCTION;
  }

  const int m_nClass;  // SIM_CLASS_NATIVE or SIM_CLASS_PRINTER
  const GUID m_guid;   // interface class
  const std::string m_sPath;
  // Bumped whenever the device goes away: files opened under an older
  // generation are dead for good.
  unsigned long long m_nGeneration = 0;
  std::deque<BYTE> m_toHost;     // bytes towards the host that no read took yet
  DWORD m_nDropped = 0;          // bytes towards the host lost to removals
  std::list<ReadPtr> m_reads;    // in issue order: the order bytes are handed out
  std::list<WritePtr> m_writes;  // writes not taken yet, in issue order
  // A native driver's state, emulated alike whoever provides the device.
  COMMTIMEOUTS m_timeouts{};
  DWORD m_nPurges = 0;
  DWORD m_dwLastPurgeFlags = 0;
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
    return m_pDevice->IsPresent() && m_pDevice->m_nGeneration == m_nGeneration;
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

// What a printer tells about itself: its USB ids and the texts SetupAPI
// reports (an absent one is not set).
class CIdentity {
 public:
  WORD m_wVendor = 0;
  WORD m_wProduct = 0;
  int m_nInterface = -1;                 // of a composite device, the one meant; else -1
  std::optional<std::string> m_sSerial;  // none: Windows makes the instance id up
  std::optional<std::string> m_sManufacturer;
  std::optional<std::string> m_sProduct;
  std::optional<std::string> m_sLocation;
  std::string m_sPort;  // where it is plugged ("1-1.2"): what a made-up instance id names
};

// One interface a provider lists for SetupAPI.
class CInterface {
 public:
  GUID m_guid;
  std::string m_sPath;
  bool m_bActive;  // present
  // The printer-class driver's node is a child of the USB device's; the
  // vendor's driver binds to the device itself.
  bool m_bPrinterClass;
  CIdentity m_identity;
};

// ---- Device nodes (ConfigMgr.cpp), under the kernel lock ----
// The USB ids of an interface path: the first "vid_XXXX&pid_YYYY" in any
// case, and a "&mi_NN" right after it; the ids stay 0 without one.
void ParseUsbIds(const std::string &sPath, CIdentity *pIdentity);
// A serial number Windows takes into an instance id: 1 to 126 printable
// ASCII characters without the separators '#', '\\', ',' and '/'.
bool UsableSerial(const std::string &s);
// Enters an interface's device node and those above it (its USB device, up
// to the root) into the process's node table; returns the interface's.
DEVINST RegisterDeviceNodes(const CInterface &itf);
// The instance id of a node of the table; false for an unknown one.
bool InstanceIdOf(DEVINST dn, std::string *pId);

// Where printers come from.
class CProvider {
 public:
  virtual ~CProvider() = default;
  // The interfaces of class guid (all known ones, or the present ones only),
  // in a stable order. Under the kernel lock; may release it meanwhile.
  virtual void ListInterfaces(Guard &lock, const GUID &guid, bool bPresentOnly,
                              std::vector<CInterface> *pOut) = 0;
  // The device a CreateFileA name opens, and the pipe it names; null with
  // *pdwError when there is none or it cannot be opened. Under the kernel
  // lock; may release it meanwhile.
  virtual DevicePtr Open(Guard &lock, const std::string &sName, int *pnPipe, DWORD *pdwError) = 0;
};

// Under the kernel lock: the provider in charge now. The simulated printers
// while a program has plugged any (or the host's printers are switched off);
// otherwise the host's printers. The two never mix.
CProvider &ActiveProvider();
CProvider &SimProvider();    // sim/SimPrinters.cpp
CProvider &HostProvider();   // the host's printers (usblp/ on Linux)
bool SimProviderInCharge();  // sim/SimPrinters.cpp

// "<path>\PIPE00" or "<path>\PIPE01", the pipe name in any case: the path and
// the pipe; false for any other name.
bool SplitPipeName(const std::string &sName, std::string *pPath, int *pnPipe);

// Queues bytes towards the host and hands them to the waiting reads.
void QueueToHost(CDevice &dev, const BYTE *pData, size_t nBytes);
// Hands queued bytes to the waiting reads, in issue order.
void DeliverToHost(CDevice &dev);
// Reads of PIPE01 never receive data: it is the pipe towards the printer.
bool ReceivesData(const CRead &read);

// Ends a read: fills its OVERLAPPED, signals its event and file, wakes waiters.
void CompleteRead(CDevice &dev, const ReadPtr &pRead, DWORD dwError);
// Ends a write with what it took (m_nTaken), or with dwError.
void CompleteWrite(CDevice &dev, const WritePtr &pWrite, DWORD dwError);
// (Re)arms the kernel's timer for the read's time-outs, if it has any.
void ArmReadTimer(CRead &read);
// Ends every write not taken yet that matches pred with dwError; returns
// how many.
template <class Pred>
size_t AbortWrites(CDevice &dev, DWORD dwError, Pred pred) {
  std::vector<WritePtr> victims;
  for (const WritePtr &p : dev.m_writes) {
    if (pred(*p)) victims.push_back(p);
  }
  for (const WritePtr &p : victims) CompleteWrite(dev, p, dwError);
  return victims.size();
}
// Ends every pending read that matches pred with dwError; returns how many.
template <class Pred>
size_t AbortReads(CDevice &dev, DWORD dwError, Pred pred) {
  std::vector<ReadPtr> victims;
  for (const ReadPtr &p : dev.m_reads) {
    if (pred(*p)) victims.push_back(p);
  }
  for (const ReadPtr &p : victims) CompleteRead(dev, p, dwError);
  return victims.size();
}
// Ends the reads and writes in flight on the device that match pred (a
// predicate on CRequest) with dwError; returns how many.
template <class Pred>
size_t AbortRequests(CDevice &dev, DWORD dwError, Pred pred) {
  return AbortReads(dev, dwError, pred) + AbortWrites(dev, dwError, pred);
}

// One line per device information set not yet destroyed (SetupApi.cpp).
std::string DescribeDeviceInfoSets();

}  // namespace emu
