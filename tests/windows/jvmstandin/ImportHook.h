// Allocation failure for a loaded module, without changing the module: its
// imports of the C runtime's malloc, calloc and realloc are pointed at hooks
// that fail on request (operator new inside the module ends in malloc too).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Replaces the module's import of pszFunction from pszDll with pHook;
// returns the address it held, or NULL when the module has no such import.
void *HookImport(HMODULE hModule, const char *pszDll, const char *pszFunction, void *pHook);

class CAllocationFailure {
 public:
  // Hooks the module's allocation imports; false when it has none.
  static bool Install(HMODULE hModule);
  // From now on, allocations of at least nMinBytes made by the module on
  // the calling thread fail, nCalls of them (-1: all).
  static void Begin(long nCalls, size_t nMinBytes);
  static void End();
  // Allocations refused since Begin.
  static long Refused();
};
