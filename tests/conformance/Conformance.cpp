#include "Conformance.h"

#include <gtest/gtest.h>

namespace conformance {
namespace {

DWORD WINAPI Trampoline(LPVOID pParam) {
  auto *pFn = static_cast<std::function<DWORD()> *>(pParam);
  const DWORD dwResult = (*pFn)();
  delete pFn;
  return dwResult;
}

}  // namespace

HANDLE StartThread(std::function<DWORD()> fn, DWORD dwFlags, DWORD *pdwTid) {
  auto *pFn = new std::function<DWORD()>(std::move(fn));
  DWORD dwTid = 0;
  HANDLE h = CreateThread(nullptr, 0, Trampoline, pFn, dwFlags, &dwTid);
  if (h == nullptr) {
    delete pFn;
    ADD_FAILURE() << "CreateThread failed, error " << GetLastError();
  }
  if (pdwTid != nullptr) *pdwTid = dwTid;
  return h;
}

void Close(HANDLE h) { EXPECT_TRUE(CloseHandle(h)) << "error " << GetLastError(); }

}  // namespace conformance
