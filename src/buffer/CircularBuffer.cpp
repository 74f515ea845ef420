#include "buffer/CircularBuffer.h"

#include <string.h>

#include <new>

namespace {

const DWORD MIN_SIZE_EXPONENT = 6;
const DWORD MAX_SIZE_EXPONENT = 16;
// Spins before a contended Enter sleeps in the kernel: the lock is held
// only for two memcpys of at most a few KiB.
const DWORD LOCK_SPIN_COUNT = 4000;

class CLocked {
 public:
  explicit CLocked(CRITICAL_SECTION *pLock) : m_pLock(pLock) { EnterCriticalSection(m_pLock); }
  ~CLocked() { LeaveCriticalSection(m_pLock); }
  CLocked(const CLocked &) = delete;
  CLocked &operator=(const CLocked &) = delete;

 private:
  CRITICAL_SECTION *m_pLock;
};

}  // namespace

CCircularBuffer::CCircularBuffer(DWORD nSizeExponent)
    : m_nCount(0), m_nMask(0), m_nWriteIndex(0), m_nReadIndex(0), m_pData(NULL) {
  if (nSizeExponent > MAX_SIZE_EXPONENT) {
    nSizeExponent = MAX_SIZE_EXPONENT;
  } else if (nSizeExponent < MIN_SIZE_EXPONENT) {
    nSizeExponent = MIN_SIZE_EXPONENT;
  }
  const DWORD nCapacity = (DWORD)1 << nSizeExponent;
  m_nMask = nCapacity - 1;

  // The creator handles `long` codes only, so an allocator that throws
  // must not get past here.
  try {
    m_pData = new (std::nothrow) BYTE[nCapacity];
  } catch (const std::bad_alloc &) {
    m_pData = NULL;
  }
  if (m_pData == NULL) throw CCB_ERR_NO_MEMORY;

  if (!InitializeCriticalSectionAndSpinCount(&m_Lock, LOCK_SPIN_COUNT)) {
    // No destructor runs for a half-built object.
    delete[] m_pData;
    m_pData = NULL;
    throw CCB_ERR_NO_MUTEX;
  }
}

CCircularBuffer::~CCircularBuffer() {
  DeleteCriticalSection(&m_Lock);
  delete[] m_pData;
}

// At most two copies per call, one each side of the end of the storage, and
// one update of the count.
DWORD CCircularBuffer::Write(const BYTE *pSource, DWORD nBytes) {
  CLocked locked(&m_Lock);
  const DWORD nCapacity = m_nMask + 1;
  const DWORD nCount = m_nCount.load(std::memory_order_relaxed);
  const DWORD nFree = nCapacity - nCount;
  const DWORD nLimit = nFree < nBytes ? nFree : nBytes;
  if (nLimit == 0) return 0;
  const DWORD nToEnd = nCapacity - m_nWriteIndex;
  const DWORD nFirst = nLimit < nToEnd ? nLimit : nToEnd;
  memcpy(m_pData + m_nWriteIndex, pSource, nFirst);
  if (nLimit > nFirst) memcpy(m_pData, pSource + nFirst, nLimit - nFirst);
  m_nWriteIndex = (m_nWriteIndex + nLimit) & m_nMask;
  m_nCount.fetch_add(nLimit);
  return nLimit;
}

DWORD CCircularBuffer::Read(BYTE *pDest, DWORD nBytes, DWORD *pnCount) {
  CLocked locked(&m_Lock);
  DWORD nResult = 0;
  if (m_nCount.load(std::memory_order_relaxed) != 0) {
    nResult = ReadBytes(pDest, nBytes);
    *pnCount = nResult;
  }
  return nResult;
}

DWORD CCircularBuffer::ReadBytes(BYTE *pDest, DWORD nBytes) {
  const DWORD nCount = m_nCount.load(std::memory_order_relaxed);
  const DWORD nLimit = nCount < nBytes ? nCount : nBytes;
  if (nLimit == 0) return 0;
  const DWORD nToEnd = m_nMask + 1 - m_nReadIndex;
  const DWORD nFirst = nLimit < nToEnd ? nLimit : nToEnd;
  memcpy(pDest, m_pData + m_nReadIndex, nFirst);
  if (nLimit > nFirst) memcpy(pDest + nFirst, m_pData, nLimit - nFirst);
  m_nReadIndex = (m_nReadIndex + nLimit) & m_nMask;
  m_nCount.fetch_sub(nLimit);
  return nLimit;
}

DWORD CCircularBuffer::BytesAvailable() const { return m_nCount.load(std::memory_order_relaxed); }

DWORD CCircularBuffer::FreeSpace() const { return m_nMask + 1 - m_nCount.load(); }
