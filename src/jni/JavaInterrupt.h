// Lets Thread.interrupt() end a native that waits for the printer.
#pragma once

#include <jni.h>

#include "usbcomm/Requests.h"

// Whether the Java thread of pContext (its JNIEnv) has been interrupted. A
// failed lookup counts as not interrupted and leaves no exception pending;
// the thread's last error is kept.
bool JavaThreadInterrupted(void *pContext);

// The limit of a request that the calling Java thread's interrupt ends:
// after dwTimeoutMs, or INFINITE for none.
inline CWaitLimit InterruptibleLimit(JNIEnv *env, DWORD dwTimeoutMs) {
  return CWaitLimit{dwTimeoutMs, JavaThreadInterrupted, env};
}
