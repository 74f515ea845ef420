// The sessions of the printer natives: one CUsbComm per opened printer,
// bound to its interface path. Java names a session by a number that is never
// handed out twice, so a stale number fails instead of reaching another
// printer; a call holds its session alive until it returns.
#pragma once

#include <jni.h>

#include <memory>

#include "velto/platform.h"

class CUsbComm;

// A new session on the printer at pszInterfacePath, of type nUsbType; 0 with
// the last error set when it cannot be made (the path is too long for a
// device path, the type unknown, or memory is short). Opens nothing yet.
jlong AddSession(const char *pszInterfacePath, int nUsbType);
// The session, or null (last error ERROR_INVALID_HANDLE).
std::shared_ptr<CUsbComm> FindSession(jlong nSession);
// Forgets a session whose pipes are closed: 0, ERROR_INVALID_HANDLE for an
// unknown one, or ERROR_BUSY (kept) while its receiver runs or a handle is
// still stored.
DWORD FreeSession(jlong nSession);
