#include "jni/WriteBlock.h"

#include <stdlib.h>

#include <atomic>

struct CWriteBlock::CBlock {
  size_t nCapacity;
  BYTE abBytes[1];
};

namespace {

std::atomic<CWriteBlock::CBlock *> g_pKeptBlock(nullptr);

}  // namespace

CWriteBlock::CWriteBlock(size_t nSize) : m_pBlock(nullptr) {
  if (nSize == 0) return;
  m_pBlock = g_pKeptBlock.exchange(nullptr);
  if (m_pBlock != nullptr && m_pBlock->nCapacity >= nSize) return;
  free(m_pBlock);
  m_pBlock = static_cast<CBlock *>(malloc(offsetof(CBlock, abBytes) + nSize));
  if (m_pBlock != nullptr) m_pBlock->nCapacity = nSize;
}

void CWriteBlock::Release() {
  CBlock *const pBlock = m_pBlock;
  m_pBlock = nullptr;
  if (pBlock == nullptr) return;
  if (pBlock->nCapacity > WRITE_BLOCK_KEEP_MAX) {
    free(pBlock);
    return;
  }
  // A block kept meanwhile by a write beside this one gives way.
  free(g_pKeptBlock.exchange(pBlock));
}

BYTE *CWriteBlock::Bytes() const { return m_pBlock != nullptr ? m_pBlock->abBytes : nullptr; }
