// A Java driver as the reliability runs play it: the natives of the shared
// module through the stand-in JNIEnv, every call watched, so that a call
// that does not return within its bound ends the program naming the call and
// the run (a hang is a failure, never a wait for CI's time-out).
#pragma once

#include <string>
#include <vector>

#include "FakeJni.h"
#include "velto/simprinter.h"

constexpr DWORD kRunBoundMs = 20000;

// What the watchdog prints with a hang: the scenario and its injection.
void SetRunContext(const std::string &szContext);

// Interface paths that the library's pattern table accepts.
std::string NativePrinterPath();
std::string ClassPrinterPath();
// At the path the table accepts for its class, or at sPath.
SIMDEV PlugPrinter(bool bPrinterClass, const std::string &sPath = std::string());

class CDriver {
 public:
  // The twelve natives on the default printer, or with nSession the printer
  // natives on that session.
  explicit CDriver(jlong nSession = 0) : m_nSession(nSession) {}

  // usbInitPipe; *pnHandle gets the port field (0 when none was stored).
  jint Open(bool bRead, jint *pnHandle);
  // usbReadInputPipe into an array of nLength bytes; *pGot the bytes read.
  jint Read(jint nHandle, size_t nLength, std::string *pGot);
  jint Write(jint nHandle, const std::string &sData);
  jint Close(jint nHandle);
  jint GetTimeout(jint nHandle);
  jint SetTimeouts(jint nHandle);
  jint Purge(jint nHandle);
  jint BytesAvailable();
  std::string ErrorText(jint nCode);
  jint LastError();

 private:
  CFakeJni m_jni;
  const jlong m_nSession;
};

// A session of the printer natives on the printer at sPath (0 when none).
jlong OpenSession(const std::string &sPath, bool bPrinterClass);
// Forgets a session whose pipes are closed: 0, or why not.
jint FreeSession(jlong nSession);

// Whether every byte of got appears in sent, in order (bytes may be missing,
// never invented or reordered).
bool IsSubsequence(const std::string &got, const std::string &sent);
