// Calls in progress on device handles.
//
// A synchronous request blocks its file object: on Windows the close of a
// handle waits for the request in progress on it (for ever with a native
// driver's zero time-outs), and so does a purge. So every read and write the
// natives make on a handle is registered here for its duration; a close or a
// purge of that handle ends the registered requests with CancelSynchronousIo
// first, and a handle that a reopen retires is closed by its last user. The
// registry's lock is held only for bookkeeping, never across device I/O.
#pragma once

#include "velto/platform.h"

enum class PortUseKind { Read, Write };

// One call's use of a handle, from construction to destruction.
class CPortUse {
 public:
  CPortUse(HANDLE hPort, PortUseKind kind);
  // Uses whatever m_hWritePort of g_UsbComm holds now; a reopen that
  // replaces it meanwhile leaves this call on the old handle until it ends.
  explicit CPortUse(PortUseKind kind);
  ~CPortUse();
  CPortUse(const CPortUse &) = delete;
  CPortUse &operator=(const CPortUse &) = delete;

  HANDLE Handle() const { return m_hPort; }
  // The handle is being closed: the call must not start its request (it
  // fails with ERROR_OPERATION_ABORTED, as a cancelled request does).
  bool Refused() const { return m_nSlot < 0; }

 private:
  void Register(PortUseKind kind);
  HANDLE m_hPort = NULL;
  int m_nSlot = -1;
};

// Closes hPort: ends the requests in progress on it, waits until their calls
// have left, then closes it. Clears m_hWritePort when it holds hPort.
// Returns CloseHandle's result; its last error stays. When a request cannot
// be ended, FALSE with that error, and the handle stays open.
BOOL ClosePortHandle(HANDLE hPort);
// Ends the reads in progress on hPort and waits until their calls have left
// (a purge would otherwise wait behind a blocked read). FALSE, with the
// error, when one cannot be ended.
BOOL EndPortReads(HANDLE hPort);
// Puts hNew into m_hWritePort and retires the handle it held: its requests
// are ended and it is closed now, or by its last user. Never waits.
void ReplaceWritePort(HANDLE hNew);
// m_hWritePort, or hOpened stored there when it is empty; hOpened is closed
// when another open won the race. Returns the stored handle.
HANDLE StoreWritePortIfEmpty(HANDLE hOpened);
