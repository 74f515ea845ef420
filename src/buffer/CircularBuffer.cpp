#include "buffer/CircularBuffer.h"

#include <new>

namespace {

const DWORD MIN_SIZE_EXPONENT = 6;
const DWORD MAX_SIZE_EXPONENT = 16;

}  // namespace

CCircularBuffer::CCircularBuffer(DWORD nSizeExponent)
    : m_hMutex(NULL), m_nCount(0), m_nMask(0), m_nWriteIndex(0), m_nReadIndex(0), m_pData(NULL) {
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

  m_hMutex = CreateMutexA(NULL, FALSE, NULL);
  if (m_hMutex == NULL) {
    // No destructor runs for a half-built object.
    delete[] m_pData;
    m_pData = NULL;
    throw CCB_ERR_NO_MUTEX;
  }
}

CCircularBuffer::~CCircularBuffer() {
  CloseHandle(m_hMutex);
  delete[] m_pData;
}

DWORD CCircularBuffer::Write(const BYTE *pSource, DWORD nBytes) {
  WaitForSingleObject(m_hMutex, INFINITE);
  const DWORD nCapacity = m_nMask + 1;
  const DWORD nFree = m_nMask - m_nCount.load(std::memory_order_relaxed) + 1;
  const DWORD nLimit = nFree < nBytes ? nFree : nBytes;
  DWORD nResult = nLimit;
  try {
    for (DWORD i = 0; i < nLimit; ++i) {
      if (m_nCount.load(std::memory_order_relaxed) >= nCapacity) throw CCB_ERR_OVERFLOW;
      m_pData[m_nWriteIndex] = pSource[i];
      m_nCount.fetch_add(1, std::memory_order_relaxed);
      m_nWriteIndex = (m_nWriteIndex + 1) & m_nMask;
    }
  } catch (long) {
    nResult = 0;
  }
  ReleaseMutex(m_hMutex);
  return nResult;
}

DWORD CCircularBuffer::Read(BYTE *pDest, DWORD nBytes, DWORD *pnCount) {
  WaitForSingleObject(m_hMutex, INFINITE);
  DWORD nResult = 0;
  if (m_nCount.load(std::memory_order_relaxed) != 0) {
    nResult = ReadBytes(pDest, nBytes);
    *pnCount = nResult;
  }
  ReleaseMutex(m_hMutex);
  return nResult;
}

DWORD CCircularBuffer::ReadBytes(BYTE *pDest, DWORD nBytes) {
  const DWORD nCount = m_nCount.load(std::memory_order_relaxed);
  const DWORD nLimit = nCount < nBytes ? nCount : nBytes;
  try {
    for (DWORD i = 0; i < nLimit; ++i) {
      if (m_nCount.load(std::memory_order_relaxed) == 0) throw CCB_ERR_UNDERFLOW;
      pDest[i] = m_pData[m_nReadIndex];
      m_nReadIndex = (m_nReadIndex + 1) & m_nMask;
      m_nCount.fetch_sub(1, std::memory_order_relaxed);
    }
  } catch (long) {
    return 0;
  }
  return nLimit;
}

DWORD CCircularBuffer::BytesAvailable() const { return m_nCount.load(std::memory_order_relaxed); }
