// Bounded text operations on the fixed-size buffers of the library.
#pragma once

#include <stddef.h>
#include <string.h>

// Copies pszText into pszBuffer (nSize bytes), cut to fit; always terminated
// when nSize is nonzero.
inline void CopyText(char *pszBuffer, size_t nSize, const char *pszText) {
  if (nSize == 0) return;
  size_t nLength = strlen(pszText);
  if (nLength >= nSize) nLength = nSize - 1;
  memcpy(pszBuffer, pszText, nLength);
  pszBuffer[nLength] = '\0';
}

// Appends a backslash and pszPipeName to the path in pszPath (nSize bytes).
// Leaves the path unchanged and returns false when the result would not fit.
inline bool AppendPipeName(char *pszPath, size_t nSize, const char *pszPipeName) {
  const size_t nPath = strnlen(pszPath, nSize);
  const size_t nPipe = strlen(pszPipeName);
  if (nPath >= nSize || nSize - nPath < 1 + nPipe + 1) return false;
  pszPath[nPath] = '\\';
  memcpy(pszPath + nPath + 1, pszPipeName, nPipe + 1);
  return true;
}
