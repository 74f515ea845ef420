// Heap block for writes of arrays too large for the stack buffer.
#pragma once

#include <stddef.h>

#include "velto/platform.h"

// The block of the last large write is kept for the next one: a driver that
// sends pages of tens of KiB would otherwise pay an allocation and a free
// per call. One write at a time uses the kept block; a write beside it gets
// a block of its own. Blocks above WRITE_BLOCK_KEEP_MAX are not kept.
const size_t WRITE_BLOCK_KEEP_MAX = 256 * 1024;

class CWriteBlock {
 public:
  // Bytes() is null when no block of nSize bytes could be had, and for 0.
  explicit CWriteBlock(size_t nSize);
  ~CWriteBlock() { Release(); }
  CWriteBlock(const CWriteBlock &) = delete;
  CWriteBlock &operator=(const CWriteBlock &) = delete;

  BYTE *Bytes() const;
  // Done with the bytes: the block is kept for the next write or freed.
  void Release();

  struct CBlock;

 private:
  CBlock *m_pBlock;
};
