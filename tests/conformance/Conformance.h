// Helpers shared by the conformance cases: Win32 names only.
#pragma once

#include <functional>

#include "velto/platform.h"

namespace conformance {

// Generous upper bound for anything that is expected to happen.
constexpr DWORD kBoundMs = 10000;

// Runs fn on a new thread (CreateThread); returns its handle.
HANDLE StartThread(std::function<DWORD()> fn, DWORD dwFlags = 0, DWORD *pdwTid = nullptr);

// Closes h, checking that it succeeds.
void Close(HANDLE h);

}  // namespace conformance
