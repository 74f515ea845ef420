// GlobalAlloc and friends, and the local blocks that FormatMessageA hands
// out. Every live block is tracked, so that LocalFree/GlobalFree can refuse
// a bad handle and the leak report can name a block nobody freed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>

#include "Kernel.h"

namespace emu {
namespace {

struct CBlock {
  void *pData;
  SIZE_T nBytes;
  bool bMoveable;
  bool bLocal;
  DWORD nLocks;
};

// Keyed by handle value: the data pointer for fixed and local blocks, a
// synthetic value for moveable ones (under the kernel lock).
std::map<uintptr_t, CBlock> &Blocks() {
  static auto *s_pBlocks = new std::map<uintptr_t, CBlock>;
  return *s_pBlocks;
}

// Moveable handles are not addresses: code that uses one as a pointer
// without GlobalLock faults at once (the page is never mapped). They are
// 2 modulo 4, so that none equals a kernel handle value.
constexpr uintptr_t kMoveableFirst = 0x8002;
constexpr uintptr_t kMoveableLast = 0xFFFE;
uintptr_t g_nNextMoveable = kMoveableFirst;

// Local and global blocks come from one heap, as on Windows: either family
// of calls accepts either kind of block.
CBlock *FindBlock(HANDLE h) {
  auto it = Blocks().find(reinterpret_cast<uintptr_t>(h));
  return it == Blocks().end() ? nullptr : &it->second;
}

}  // namespace

// Allocates a block that LocalFree releases (FormatMessageA's buffers).
void *LocalAllocBlock(SIZE_T nBytes) {
  void *p = calloc(1, nBytes == 0 ? 1 : nBytes);
  if (p == nullptr) return nullptr;
  Guard lock(KernelLock());
  Blocks()[reinterpret_cast<uintptr_t>(p)] = CBlock{p, nBytes, false, true, 0};
  return p;
}

DWORD MemoryBlockCount() { return static_cast<DWORD>(Blocks().size()); }

std::string DescribeMemoryBlocks() {
  std::string s;
  char sz[96];
  for (const auto &entry : Blocks()) {
    const CBlock &b = entry.second;
    snprintf(sz, sizeof sz, "%s memory block 0x%lx (%lu bytes) not freed\n",
             b.bLocal      ? "local"
             : b.bMoveable ? "moveable global"
                           : "fixed global",
             static_cast<unsigned long>(entry.first), static_cast<unsigned long>(b.nBytes));
    s += sz;
  }
  return s;
}

}  // namespace emu

using namespace emu;

extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  if (InjectedFailure(SIM_FN_GlobalAlloc)) return nullptr;
  if ((uFlags & ~(GMEM_MOVEABLE | GMEM_ZEROINIT)) != 0) {
    return Fail<HGLOBAL>(nullptr, ERROR_INVALID_PARAMETER);
  }
  void *p = malloc(dwBytes == 0 ? 1 : dwBytes);
  if (p == nullptr) return Fail<HGLOBAL>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
  // Without GMEM_ZEROINIT the contents are undefined on Windows; a pattern
  // makes code that relies on zeroes fail here too.
  memset(p, (uFlags & GMEM_ZEROINIT) ? 0 : 0xCD, dwBytes);
  const bool bMoveable = (uFlags & GMEM_MOVEABLE) != 0;
  Guard lock(KernelLock());
  uintptr_t nHandle = reinterpret_cast<uintptr_t>(p);
  if (bMoveable) {
    const uintptr_t nStart = g_nNextMoveable;
    do {
      nHandle = g_nNextMoveable;
      g_nNextMoveable = nHandle >= kMoveableLast ? kMoveableFirst : nHandle + 4;
    } while (Blocks().count(nHandle) != 0 && g_nNextMoveable != nStart);
    if (Blocks().count(nHandle) != 0) {
      free(p);
      return Fail<HGLOBAL>(nullptr, ERROR_NOT_ENOUGH_MEMORY);
    }
  }
  Blocks()[nHandle] = CBlock{p, dwBytes, bMoveable, false, 0};
  return reinterpret_cast<HGLOBAL>(nHandle);
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
  if (InjectedFailure(SIM_FN_GlobalLock)) return nullptr;
  Guard lock(KernelLock());
  CBlock *pBlock = FindBlock(hMem);
  if (pBlock == nullptr) return Fail<LPVOID>(nullptr, ERROR_INVALID_HANDLE);
  if (pBlock->bMoveable) {
    // A zero-byte moveable block is "discarded": nothing to lock.
    if (pBlock->nBytes == 0) return Fail<LPVOID>(nullptr, ERROR_DISCARDED);
    ++pBlock->nLocks;
  }
  return pBlock->pData;
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
  if (InjectedFailure(SIM_FN_GlobalUnlock)) return FALSE;
  Guard lock(KernelLock());
  CBlock *pBlock = FindBlock(hMem);
  if (pBlock == nullptr) return Fail(FALSE, ERROR_INVALID_HANDLE);
  if (!pBlock->bMoveable) return TRUE;  // fixed blocks have no lock count
  if (pBlock->nLocks == 0) return Fail(FALSE, ERROR_NOT_LOCKED);
  // FALSE with NO_ERROR: the block is now unlocked (the Win32 contract).
  if (--pBlock->nLocks == 0) return Fail(FALSE, NO_ERROR);
  return TRUE;
}

}  // extern "C"

namespace {

// Global and local blocks share one heap, so either free call takes either.
HGLOBAL FreeBlock(HGLOBAL hMem) {
  Guard lock(KernelLock());
  CBlock *pBlock = FindBlock(hMem);
  if (pBlock == nullptr) return Fail(hMem, ERROR_INVALID_HANDLE);
  free(pBlock->pData);
  Blocks().erase(reinterpret_cast<uintptr_t>(hMem));
  return nullptr;
}

}  // namespace

extern "C" {

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  if (InjectedFailure(SIM_FN_GlobalFree)) return hMem;
  return FreeBlock(hMem);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (InjectedFailure(SIM_FN_LocalFree)) return hMem;
  if (hMem == nullptr) return nullptr;
  return FreeBlock(hMem);
}

}  // extern "C"
