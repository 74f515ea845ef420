#include "ImportHook.h"

#include <stdlib.h>
#include <string.h>

void *HookImport(HMODULE hModule, const char *pszDll, const char *pszFunction, void *pHook) {
  BYTE *pBase = reinterpret_cast<BYTE *>(hModule);
  const IMAGE_DOS_HEADER *pDos = reinterpret_cast<const IMAGE_DOS_HEADER *>(pBase);
  const IMAGE_NT_HEADERS *pNt = reinterpret_cast<const IMAGE_NT_HEADERS *>(pBase + pDos->e_lfanew);
  const IMAGE_DATA_DIRECTORY &dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return NULL;
  for (const IMAGE_IMPORT_DESCRIPTOR *pDesc =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(pBase + dir.VirtualAddress);
       pDesc->Name != 0; ++pDesc) {
    if (_stricmp(reinterpret_cast<const char *>(pBase + pDesc->Name), pszDll) != 0) continue;
    const IMAGE_THUNK_DATA *pNames = reinterpret_cast<const IMAGE_THUNK_DATA *>(
        pBase + (pDesc->OriginalFirstThunk != 0 ? pDesc->OriginalFirstThunk : pDesc->FirstThunk));
    IMAGE_THUNK_DATA *pSlots = reinterpret_cast<IMAGE_THUNK_DATA *>(pBase + pDesc->FirstThunk);
    for (; pNames->u1.AddressOfData != 0; ++pNames, ++pSlots) {
      if (IMAGE_SNAP_BY_ORDINAL(pNames->u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME *pName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(pBase + pNames->u1.AddressOfData);
      if (strcmp(reinterpret_cast<const char *>(pName->Name), pszFunction) != 0) continue;
      DWORD dwOld = 0;
      if (!VirtualProtect(&pSlots->u1.Function, sizeof pSlots->u1.Function, PAGE_READWRITE,
                          &dwOld)) {
        return NULL;
      }
      void *pOld = reinterpret_cast<void *>(pSlots->u1.Function);
      pSlots->u1.Function = reinterpret_cast<ULONG_PTR>(pHook);
      VirtualProtect(&pSlots->u1.Function, sizeof pSlots->u1.Function, dwOld, &dwOld);
      return pOld;
    }
  }
  return NULL;
}

namespace {

typedef void *(__cdecl *PMALLOC)(size_t);
typedef void *(__cdecl *PCALLOC)(size_t, size_t);
typedef void *(__cdecl *PREALLOC)(void *, size_t);

PMALLOC g_pfnMalloc = malloc;
PCALLOC g_pfnCalloc = calloc;
PREALLOC g_pfnRealloc = realloc;
volatile DWORD g_dwFailingThread = 0;
volatile LONG g_nRefused = 0;
long g_nToRefuse = 0;
size_t g_nMinBytes = 0;

// Only the failing thread reads and changes the counts.
bool Refuse(size_t nBytes) {
  if (g_dwFailingThread == 0 || g_dwFailingThread != GetCurrentThreadId()) return false;
  if (nBytes < g_nMinBytes || g_nToRefuse == 0) return false;
  if (g_nToRefuse > 0) --g_nToRefuse;
  InterlockedIncrement(&g_nRefused);
  return true;
}

void *__cdecl HookMalloc(size_t n) { return Refuse(n) ? NULL : g_pfnMalloc(n); }
void *__cdecl HookCalloc(size_t n, size_t size) {
  return Refuse(n * size) ? NULL : g_pfnCalloc(n, size);
}
void *__cdecl HookRealloc(void *p, size_t n) { return Refuse(n) ? NULL : g_pfnRealloc(p, n); }

}  // namespace

bool CAllocationFailure::Install(HMODULE hModule) {
  bool bAny = false;
  if (void *p = HookImport(hModule, "msvcrt.dll", "malloc", reinterpret_cast<void *>(HookMalloc))) {
    g_pfnMalloc = reinterpret_cast<PMALLOC>(p);
    bAny = true;
  }
  if (void *p = HookImport(hModule, "msvcrt.dll", "calloc", reinterpret_cast<void *>(HookCalloc))) {
    g_pfnCalloc = reinterpret_cast<PCALLOC>(p);
  }
  if (void *p =
          HookImport(hModule, "msvcrt.dll", "realloc", reinterpret_cast<void *>(HookRealloc))) {
    g_pfnRealloc = reinterpret_cast<PREALLOC>(p);
  }
  return bAny;
}

void CAllocationFailure::Begin(long nCalls, size_t nMinBytes) {
  g_nRefused = 0;
  g_nToRefuse = nCalls;
  g_nMinBytes = nMinBytes;
  g_dwFailingThread = GetCurrentThreadId();
}

void CAllocationFailure::End() { g_dwFailingThread = 0; }

long CAllocationFailure::Refused() { return g_nRefused; }
