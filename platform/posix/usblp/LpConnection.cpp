// The usblp node's I/O thread: poll, read, write, unplug.
#include "LpConnection.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>

#include "LpControl.h"
#include "LpSysfs.h"

namespace emu {
namespace usblp {
namespace {

// usblp moves at most this much per request.
constexpr size_t kChunk = 8192;
constexpr unsigned kKernelUeventGroup = 1;

// A socket that receives the kernel's uevents; -1 when there is none to be
// had (a sandbox without netlink): unplugs are then seen by the I/O errors.
int OpenUeventSocket() {
  const int fd =
      socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return -1;
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = kKernelUeventGroup;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The device path a "remove" uevent names, or empty. Kernel messages are
// "remove@/devices/...\0ACTION=remove\0DEVPATH=/devices/...\0..."; udev's
// carry a binary header before the same KEY=VALUE strings; both are read
// as the strings between the NULs.
std::string RemovedDevPath(const char *pMsg, size_t nLen) {
  bool bRemove = false;
  std::string sDevPath;
  size_t nPos = 0;
  while (nPos < nLen) {
    const size_t nStr = strnlen(pMsg + nPos, nLen - nPos);
    const std::string s(pMsg + nPos, nStr);
    if (s == "ACTION=remove") bRemove = true;
    if (s.compare(0, 8, "DEVPATH=") == 0) sDevPath = s.substr(8);
    nPos += nStr + 1;
  }
  return bRemove ? sDevPath : std::string();
}

void CloseIfOpen(int fd) {
  if (fd >= 0) close(fd);
}

// Where SimLpHoldWrites stops the chunks on their way to the node. Its own
// lock: the I/O thread passes it without the kernel lock.
class CWriteGate {
 public:
  void Pass() {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_bHold) return;
    ++m_nHeld;
    m_cond.notify_all();
    m_cond.wait(lock, [this] { return !m_bHold; });
    --m_nHeld;
  }
  void Hold(bool bHold) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bHold = bHold;
    m_cond.notify_all();
  }
  bool WaitHeld(DWORD dwTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cond.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                           [this] { return m_nHeld > 0; });
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_cond;
  bool m_bHold = false;
  unsigned m_nHeld = 0;
};

// Never destroyed: I/O threads may outlive main.
CWriteGate &WriteGate() {
  static CWriteGate *s_pGate = new CWriteGate;
  return *s_pGate;
}

}  // namespace

bool ClassEntryPresent(const std::string &sDevPath) {
  struct stat st;
  return lstat(("/sys" + sDevPath).c_str(), &st) == 0;
}

std::shared_ptr<CLpConnection> CLpConnection::Open(const std::string &sNode,
                                                   const std::string &sDevPath, DWORD *pdwError) {
  const int fd = open(sNode.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    // Taken first: the look at sysfs may change errno.
    const int nErrno = errno;
    *pdwError = Win32ErrorOf(nErrno, !ClassEntryPresent(sDevPath));
    return nullptr;
  }
  const int fdWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fdWake < 0) {
    close(fd);
    *pdwError = ERROR_NO_SYSTEM_RESOURCES;
    return nullptr;
  }
  return std::shared_ptr<CLpConnection>(
      new CLpConnection(fd, fdWake, OpenUeventSocket(), sNode, sDevPath));
}

CLpConnection::CLpConnection(int fd, int fdWake, int fdUevent, std::string sNode,
                             std::string sDevPath)
    : m_fd(fd),
      m_fdWake(fdWake),
      m_fdUevent(fdUevent),
      m_sNode(std::move(sNode)),
      m_sDevPath(std::move(sDevPath)) {}

CLpConnection::~CLpConnection() {
  // A connection whose thread ran had its descriptors closed by that thread.
  if (!m_bClosed) {
    close(m_fd);
    close(m_fdWake);
    CloseIfOpen(m_fdUevent);
  }
}

bool CLpConnection::Start(CLpLink *pLink) {
  m_pLink = pLink;
  try {
    std::thread([pSelf = shared_from_this()] { pSelf->Run(); }).detach();
  } catch (const std::system_error &) {
    m_pLink = nullptr;
    return false;
  }
  return true;
}

void CLpConnection::Wake() {
  const uint64_t nOne = 1;
  // A full counter already wakes the thread; nothing else can fail here.
  (void)!write(m_fdWake, &nOne, sizeof nOne);
}

void CLpConnection::Stop() {
  m_pLink = nullptr;
  m_bStop = true;
  Wake();
}

void CLpConnection::Die(DWORD dwError) {
  if (m_dwDeadError != 0) return;
  m_dwDeadError = dwError;
  if (m_pLink != nullptr) m_pLink->OnDead(dwError);
  NotifyAll();
}

DWORD CLpConnection::Control(Guard &lock, unsigned long nRequest, void *pArg) {
  if (m_dwDeadError != 0) return m_dwDeadError;
  if (m_bClosed) return ERROR_DEVICE_NOT_CONNECTED;
  const int fd = fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return ErrorOf(errno);
  lock.unlock();
  const int nResult = ioctl(fd, nRequest, pArg);
  const int nErrno = errno;
  close(fd);
  const DWORD dwError = nResult < 0 ? ErrorOf(nErrno) : ERROR_SUCCESS;
  lock.lock();
  return dwError;
}

DWORD CLpConnection::ErrorOf(int nErrno) const {
  return Win32ErrorOf(nErrno, !ClassEntryPresent(m_sDevPath));
}

void CLpConnection::DrainUevents() {
  char buf[8192];
  for (;;) {
    const ssize_t n = recv(m_fdUevent, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // ENOBUFS: messages were lost; the class entry tells what they said.
      if (errno == ENOBUFS && !ClassEntryPresent(m_sDevPath)) m_bRemovedSeen = true;
      return;
    }
    const std::string sRemoved = RemovedDevPath(buf, static_cast<size_t>(n));
    if (!sRemoved.empty() && IsAtOrBelow(m_sDevPath, sRemoved)) m_bRemovedSeen = true;
  }
}

void CLpConnection::DoRead(Guard &lock, size_t nWanted) {
  BYTE buf[kChunk];
  const size_t nAsk = nWanted < sizeof buf ? nWanted : sizeof buf;
  lock.unlock();
  const ssize_t n = read(m_fd, buf, nAsk);
  const int nErrno = errno;
  const DWORD dwError = n < 0 && nErrno != EAGAIN && nErrno != EINTR ? ErrorOf(nErrno) : 0;
  lock.lock();
  if (m_pLink == nullptr || m_dwDeadError != 0) return;
  if (n > 0) {
    m_pLink->OnBytesRead(buf, static_cast<size_t>(n));
  } else if (n == 0) {
    m_pLink->OnReadEnded(ERROR_SUCCESS);
  } else if (dwError == ERROR_DEVICE_NOT_CONNECTED) {
    Die(dwError);
  } else if (dwError != 0) {
    m_pLink->OnReadEnded(dwError);
  }
}

void CLpConnection::DoWrite(Guard &lock) {
  std::vector<BYTE> bytes;
  CLpLink::WriteId id;
  if (!m_pLink->NextWrite(kChunk, &bytes, &id)) return;
  lock.unlock();
  WriteGate().Pass();
  const ssize_t n = write(m_fd, bytes.data(), bytes.size());
  const int nErrno = errno;
  const DWORD dwError = n < 0 && nErrno != EAGAIN && nErrno != EINTR ? ErrorOf(nErrno) : 0;
  lock.lock();
  if (m_pLink == nullptr || m_dwDeadError != 0) return;
  if (n >= 0) {
    m_pLink->OnWritten(id, static_cast<size_t>(n), ERROR_SUCCESS);
  } else if (dwError == ERROR_DEVICE_NOT_CONNECTED) {
    Die(dwError);
  } else if (dwError != 0) {
    m_pLink->OnWritten(id, 0, dwError);
  }
}

void CLpConnection::Run() {
  Guard lock(KernelLock());
  while (!m_bStop) {
    if (m_bRemovedSeen) Die(ERROR_DEVICE_NOT_CONNECTED);
    // A dead connection has nothing left to do but wait for its end.
    const bool bLive = m_dwDeadError == 0 && m_pLink != nullptr;
    const size_t nWanted = bLive ? m_pLink->ReadWanted() : 0;
    const bool bWrite = bLive && m_pLink->WriteWaiting();
    lock.unlock();

    pollfd fds[3] = {{m_fdWake, POLLIN, 0}, {m_fdUevent, POLLIN, 0}, {-1, 0, 0}};
    if (bLive && (nWanted > 0 || bWrite)) {
      fds[2].fd = m_fd;
      fds[2].events = static_cast<short>((nWanted > 0 ? POLLIN : 0) | (bWrite ? POLLOUT : 0));
    }
    const int nReady = poll(fds, 3, -1);
    if (fds[0].revents & POLLIN) {
      uint64_t nCount;
      (void)!read(m_fdWake, &nCount, sizeof nCount);
    }
    lock.lock();
    if (nReady <= 0 || m_bStop) continue;
    if (fds[1].revents & POLLIN) {
      lock.unlock();
      DrainUevents();
      lock.lock();
      if (m_bRemovedSeen) continue;
    }
    const short nEvents = fds[2].revents;
    if (nEvents == 0 || m_pLink == nullptr || m_dwDeadError != 0) continue;
    if ((nEvents & POLLOUT) != 0) DoWrite(lock);
    if ((nEvents & POLLIN) != 0 && m_pLink != nullptr && m_dwDeadError == 0) {
      const size_t nNow = m_pLink->ReadWanted();
      if (nNow > 0) DoRead(lock, nNow);
    }
    if ((nEvents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (nEvents & (POLLIN | POLLOUT)) == 0) {
      // usblp itself never reports these; a node that does is gone or broken.
      lock.unlock();
      const DWORD dwError = ErrorOf(EIO);
      lock.lock();
      Die(dwError);
    }
  }
  close(m_fd);
  close(m_fdWake);
  CloseIfOpen(m_fdUevent);
  m_bClosed = true;
  NotifyAll();
}

}  // namespace usblp
}  // namespace emu

extern "C" {

void SimLpHoldWrites(BOOL bHold) { emu::usblp::WriteGate().Hold(bHold != FALSE); }

BOOL SimLpWaitHeldWrite(DWORD dwTimeoutMs) {
  return emu::usblp::WriteGate().WaitHeld(dwTimeoutMs) ? TRUE : FALSE;
}

}  // extern "C"
