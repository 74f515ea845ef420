// One open of a usblp node and the thread that does its I/O.
//
// usblp lets a node be opened once at a time, while Windows lets a program
// open the printer's interface and pipes as often as it likes: so every file
// opened on one printer shares one connection. Its thread polls the node, a
// wake-up eventfd and a kernel uevent socket; it reads only while a read is in
// flight (as the Windows driver moves data only for a pending request), writes
// what the writes in flight hand it, and notices an unplug by the uevent or by
// the errors usblp gives then (ENODEV, EIO with the device gone).
//
// The connection knows nothing of files and requests: it talks to its link,
// the emulated device, under the kernel lock.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../Kernel.h"
#include "LpErrors.h"

namespace emu {
namespace usblp {

// What the connection asks of the emulated device. Every call is made by the
// connection's thread under the kernel lock.
class CLpLink {
 public:
  // A write in flight, as the connection names it while its bytes are out:
  // it does not keep the write alive, and no later write can take its name.
  using WriteId = std::weak_ptr<const void>;

  virtual ~CLpLink() = default;
  // Bytes the oldest read in flight can take now; 0 when no read waits.
  virtual size_t ReadWanted() = 0;
  // Bytes read from the node for the reads in flight, in order; what no read
  // takes any more (one was cancelled meanwhile) is kept for the next.
  virtual void OnBytesRead(const BYTE *pData, size_t nBytes) = 0;
  // The node ended the oldest read with no bytes: dwError 0 for a
  // zero-length read, else the Win32 code.
  virtual void OnReadEnded(DWORD dwError) = 0;
  // Whether a write in flight waits for the node.
  virtual bool WriteWaiting() = 0;
  // Up to nMax of the bytes of the oldest write in flight that are still to
  // go (copied, so that a write cancelled meanwhile leaves nothing
  // dangling) and that write's identity; false when no write waits.
  virtual bool NextWrite(size_t nMax, std::vector<BYTE> *pBytes, WriteId *pId) = 0;
  // The node took nBytes of the write id names, or failed them with
  // dwError. That write may have ended meanwhile (cancelled, its file
  // closed): what went out was still its own, never the next write's.
  virtual void OnWritten(const WriteId &id, size_t nBytes, DWORD dwError) = 0;
  // The connection is dead for good (dwError: 1167 for an unplug): every
  // request in flight ends with it, and so will every later one.
  virtual void OnDead(DWORD dwError) = 0;
};

class CLpConnection : public std::enable_shared_from_this<CLpConnection> {
 public:
  // Opens the node (outside the kernel lock: open may block). nullptr with
  // *pdwError set to the Win32 code when it fails. sDevPath is the class
  // entry below /sys whose removal ends the connection.
  static std::shared_ptr<CLpConnection> Open(const std::string &sNode, const std::string &sDevPath,
                                             DWORD *pdwError);
  ~CLpConnection();
  CLpConnection(const CLpConnection &) = delete;
  CLpConnection &operator=(const CLpConnection &) = delete;

  // Under the kernel lock: attaches the link and starts the thread, which
  // holds the connection until it ends. False (the node closed again) when
  // no thread can be had.
  bool Start(CLpLink *pLink);
  // Under the kernel lock: there is something new for the thread to look at
  // (a read or a write in flight, a cancellation).
  void Wake();
  // Under the kernel lock: detaches the link and lets the thread end; the
  // thread closes the node as it ends.
  void Stop();
  // Under the kernel lock: the thread has ended and the node is closed.
  // Under the kernel lock: an ioctl on the node (the printer class
  // requests), made on a duplicate of its descriptor with the lock released,
  // since the printer may take seconds to answer a control transfer. 0 or
  // the Win32 error.
  DWORD Control(Guard &lock, unsigned long nRequest, void *pArg);
  bool IsClosed() const { return m_bClosed; }
  bool IsDead() const { return m_dwDeadError != 0; }
  DWORD DeadError() const { return m_dwDeadError; }
  const std::string &Node() const { return m_sNode; }

 private:
  CLpConnection(int fd, int fdWake, int fdUevent, std::string sNode, std::string sDevPath);
  void Run();
  void Die(DWORD dwError);  // under the kernel lock
  // Thread side, without the kernel lock.
  void DrainUevents();
  void DoRead(Guard &lock, size_t nWanted);
  void DoWrite(Guard &lock);
  DWORD ErrorOf(int nErrno) const;

  const int m_fd;
  const int m_fdWake;
  const int m_fdUevent;  // -1 when the kernel's uevents cannot be had
  const std::string m_sNode;
  const std::string m_sDevPath;
  // Under the kernel lock.
  CLpLink *m_pLink = nullptr;
  bool m_bStop = false;
  bool m_bClosed = false;
  bool m_bRemovedSeen = false;  // set by the uevent reader, acted on under the lock
  DWORD m_dwDeadError = 0;
};

// Whether the class entry sDevPath (below /sys) still exists.
bool ClassEntryPresent(const std::string &sDevPath);

}  // namespace usblp
}  // namespace emu
