// Fixed-capacity, thread-safe byte ring between the receiver thread and the
// Java read path of a printer-class session.
#pragma once

#include <atomic>

#include "velto/platform.h"

// Failure codes, raised as a `long`.
const long CCB_ERR_OVERFLOW = 1;   // Write found the buffer full (caught inside Write)
const long CCB_ERR_UNDERFLOW = 2;  // ReadBytes found it empty (caught inside ReadBytes)
const long CCB_ERR_NO_MEMORY = 3;  // constructor: no storage
const long CCB_ERR_NO_MUTEX = 4;   // constructor: no mutex

class CCircularBuffer {
 public:
  // Capacity 2^nSizeExponent, the exponent clamped to 6..16 (compared
  // unsigned). Raises CCB_ERR_NO_MEMORY or CCB_ERR_NO_MUTEX.
  explicit CCircularBuffer(DWORD nSizeExponent);
  // Takes no lock: no other call may overlap it. Unread bytes are lost.
  virtual ~CCircularBuffer();

  CCircularBuffer(const CCircularBuffer &) = delete;
  CCircularBuffer &operator=(const CCircularBuffer &) = delete;

  // Stores as many leading bytes of pSource as fit and drops the rest.
  // Returns the number stored.
  DWORD Write(const BYTE *pSource, DWORD nBytes);
  // Takes up to nBytes, oldest first. *pnCount receives the number taken,
  // but only when the buffer held something: on an empty buffer it keeps
  // the caller's value. Returns the number taken.
  DWORD Read(BYTE *pDest, DWORD nBytes, DWORD *pnCount);
  // Read's inner loop: the caller holds m_hMutex.
  DWORD ReadBytes(BYTE *pDest, DWORD nBytes);
  // Lock-free snapshot of the stored count.
  DWORD BytesAvailable() const;

 private:
  HANDLE m_hMutex;
  // Changed only under m_hMutex; atomic so that BytesAvailable may read it
  // without the lock.
  std::atomic<DWORD> m_nCount;
  DWORD m_nMask;
  DWORD m_nWriteIndex;
  DWORD m_nReadIndex;
  BYTE *m_pData;
};
