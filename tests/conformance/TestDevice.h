// A device that the conformance cases open with CreateFileA and play the
// other end of: it sends bytes towards the host and receives what the host
// wrote. It behaves like a byte stream (a read takes what is there, at least
// one byte, never more than it asks for), which both a simulated printer and
// the server end of a byte-mode named pipe provide.
#pragma once

#include <memory>
#include <string>

#include "velto/platform.h"

namespace conformance {

constexpr DWORD kStallWriteBytes = 1u << 20;

// True on Wine, whose differences from documented Windows behaviour some
// cases record.
bool RunningOnWine();

class CTestDevice {
 public:
  // A fresh device; null (and a test failure) when it cannot be made.
  static std::unique_ptr<CTestDevice> Create();
  virtual ~CTestDevice() = default;

  // The path to open for reading and writing. Each device is opened once.
  virtual std::string Path() const = 0;
  // Bytes towards the host: they complete a pending read or wait for the next.
  virtual bool Send(const void *pData, DWORD nBytes) = 0;
  // Waits (bounded) until the host has written nBytes more and returns them.
  virtual std::string Receive(DWORD nBytes) = 0;
  // While stalled the device takes nothing, so that a large enough write
  // blocks (kStallWriteBytes is large enough on every device).
  virtual void Stall(bool bStall) = 0;
  // Returns once nReads reads are waiting on the device. The emulation knows;
  // a named pipe does not show it, so there it is a settling pause.
  virtual void AwaitPendingReads(DWORD nReads) = 0;
};

}  // namespace conformance
