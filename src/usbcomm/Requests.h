// The requests a session has in flight on its device handles.
//
// Every device handle the library opens is overlapped, and every read, write
// and control request the natives make on one is an overlapped request that
// the calling thread waits for, registered here from before it is issued
// until its caller has its result. So a close or a purge ends exactly the
// requests in flight on its handle (CancelIoEx with each one's OVERLAPPED),
// never a thread, and waits on a condition variable until their callers
// have left. The lock is held for bookkeeping and non-blocking calls only.
#pragma once

#include <atomic>

#include "velto/platform.h"

enum class RequestKind { Read, Write, Control };

// How long a request may wait, and who may end it sooner: a request still in
// flight when the time-out passes, or when pfnStop (asked every
// CRequests::STOP_POLL_MS while it waits) answers true, is cancelled.
struct CWaitLimit {
  DWORD dwTimeoutMs;  // INFINITE: no time-out
  bool (*pfnStop)(void *pContext);
  void *pContext;
};

class CRequests {
 public:
  static const int MAX_REQUESTS = 64;
  static const int MAX_CLOSING = 16;
  static constexpr DWORD STOP_POLL_MS = 100;

  CRequests();
  ~CRequests();
  CRequests(const CRequests &) = delete;
  CRequests &operator=(const CRequests &) = delete;

  // Closes hPort once the requests in flight on it have ended and their
  // callers have left; new requests on it are refused meanwhile. Clears
  // *pStored when it holds hPort. Returns CloseHandle's result, its last
  // error kept. When a request cannot be ended within the bound: FALSE with
  // the cancel's error (ERROR_BUSY if it gave none), and the handle stays
  // open, stored and usable, for a later close.
  BOOL ClosePort(HANDLE hPort, std::atomic<HANDLE> *pStored);
  // Ends the reads in flight on hPort now (the ones issued from here on are
  // not waited for) and waits until their callers have left; FALSE, with the
  // error, when one cannot be ended within the bound.
  BOOL EndReads(HANDLE hPort);
  // Puts hNew into *pStored and retires the handle it held: its requests are
  // ended and it is closed now, or by the last of them to leave. Never waits.
  void ReplacePort(std::atomic<HANDLE> *pStored, HANDLE hNew);
  // *pStored, or hOpened stored there when it is empty; hOpened is closed
  // when another open won the race. Returns the stored handle.
  HANDLE StoreIfEmpty(std::atomic<HANDLE> *pStored, HANDLE hOpened);

 private:
  // Ends one request for its own caller (a time-out or a stop), exactly it.
  void CancelOwn(int nSlot);

  friend class CRequest;
  struct CSlot {
    bool bUsed;
    bool bIssued;  // the request is in flight: a cancel must reach it
    bool bCancel;  // a close or purge wants it ended
    RequestKind kind;
    HANDLE hPort;
    unsigned nSeq;
    OVERLAPPED ov;
  };
  // A handle being closed: refused to new requests. A retired one (a reopen
  // replaced it) is closed by the last request to leave it.
  struct CClosing {
    HANDLE hPort;
    bool bRetired;
  };

  // Under m_Lock.
  int FindClosing(HANDLE hPort) const;
  bool Matches(const CSlot &slot, HANDLE hPort, bool bReadsOnly, unsigned nSeqBefore) const;
  bool AnyMatching(HANDLE hPort, bool bReadsOnly, unsigned nSeqBefore) const;
  DWORD CancelMatching(HANDLE hPort, bool bReadsOnly, unsigned nSeqBefore);
  // Ends the matching requests and waits, bounded, until they have left.
  bool EndMatching(HANDLE hPort, bool bReadsOnly, unsigned nSeqBefore);

  SRWLOCK m_Lock;
  CONDITION_VARIABLE m_Left;  // a request left, or a cancel was asked
  CSlot m_aSlots[MAX_REQUESTS];
  CClosing m_aClosing[MAX_CLOSING];
  int m_nClosing;
  unsigned m_nSeq;
};

// One request of a native on a session's device handle, from registration
// to the caller's result.
class CRequest {
 public:
  // On hPort; for a write, hPort NULL means the handle stored in *pStored at
  // registration (a reopen that replaces it later leaves this request on the
  // old one, which it then ends).
  CRequest(CRequests &requests, HANDLE hPort, RequestKind kind,
           const std::atomic<HANDLE> *pStored = nullptr);
  ~CRequest();
  CRequest(const CRequest &) = delete;
  CRequest &operator=(const CRequest &) = delete;

  HANDLE Handle() const { return m_hPort; }
  // Each issues the request and waits for its end: the result and last
  // error of the same synchronous call. A request refused (its handle is
  // being closed) or ended by a close or purge fails with
  // ERROR_OPERATION_ABORTED. A write with pLimit that its limit cut short
  // fails with WAIT_TIMEOUT (the time-out) or ERROR_OPERATION_ABORTED (the
  // stop); whenever a request fails once issued, *pnDone holds what it
  // transferred.
  BOOL Read(void *pBuffer, DWORD nBytes, DWORD *pnDone);
  BOOL Write(const void *pBytes, DWORD nBytes, DWORD *pnDone, const CWaitLimit *pLimit = nullptr);
  BOOL Control(DWORD dwCode, void *pIn, DWORD nIn, void *pOut, DWORD nOut, DWORD *pnDone);

 private:
  bool Start();
  BOOL Finish(BOOL bStarted, DWORD *pnDone, const CWaitLimit *pLimit = nullptr);
  DWORD AwaitLimit(const CWaitLimit &limit);
  void AwaitEnd(OVERLAPPED &ov);
  CRequests &m_Requests;
  HANDLE m_hPort = NULL;
  int m_nSlot = -1;
  DWORD m_dwError = 0;  // why no slot: refused
  DWORD m_dwErrorBefore = 0;
};
