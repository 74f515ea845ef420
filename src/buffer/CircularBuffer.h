// Fixed-capacity, thread-safe byte ring between the receiver thread and the
// Java read path of a printer-class session.
#pragma once

#include <atomic>

#include "velto/platform.h"

// Failure codes, raised as a `long` by the constructor. Write and ReadBytes
// fix their limits under the lock, so the overflow and underflow they once
// guarded against cannot happen: codes 1 and 2 are no longer raised.
const long CCB_ERR_OVERFLOW = 1;
const long CCB_ERR_UNDERFLOW = 2;
const long CCB_ERR_NO_MEMORY = 3;  // no storage
const long CCB_ERR_NO_MUTEX = 4;   // no lock

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
  // Read's inner part: the caller holds the lock.
  DWORD ReadBytes(BYTE *pDest, DWORD nBytes);
  // Lock-free snapshots of the stored count and of the room left.
  DWORD BytesAvailable() const;
  DWORD FreeSpace() const;

 private:
  // A critical section: uncontended, it never enters the kernel.
  CRITICAL_SECTION m_Lock;
  // Changed only under m_Lock, once per call; atomic so that BytesAvailable
  // and FreeSpace may read it without the lock.
  std::atomic<DWORD> m_nCount;
  DWORD m_nMask;
  DWORD m_nWriteIndex;
  DWORD m_nReadIndex;
  BYTE *m_pData;
};
