// Property checks of the fuzz targets: a failed check aborts, so that
// libFuzzer keeps the input that broke it.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : FuzzCheckFailed(#cond, __FILE__, __LINE__))

[[noreturn]] inline void FuzzCheckFailed(const char *pszCond, const char *pszFile, int nLine) {
  fprintf(stderr, "%s:%d: property violated: %s\n", pszFile, nLine, pszCond);
  abort();
}
