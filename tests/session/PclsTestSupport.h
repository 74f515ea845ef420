// Shared ground of the printer-class session tests: a simulated printer of
// the USB printer class, the stand-in JNIEnv, and a trace recorder that
// works in storage reserved up front, so that it can arm a failure exactly
// when a given trace line is written (even an allocation failure) without
// allocating itself.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FakeJni.h"
#include "SimFixture.h"
#include "velto/simprinter.h"

extern const char kPrinterPath[];

class CTraceLog {
 public:
  static const size_t kMaxLines = 20000;
  static const size_t kLineSize = 256;

  CTraceLog();
  void Attach();
  // When a line containing pszText is written, arms the failure of nFn (as
  // SimInjectFailure), on the writing thread, before the line's caller goes on.
  void ArmAt(const char *pszText, int nFn, DWORD nSkip, DWORD nCalls, DWORD dwError);

  // The first thread that writes a line containing pszText is held inside
  // that trace call until Release().
  void HoldAt(const char *pszText);
  bool WaitHeld(DWORD dwTimeoutMs = 20000);
  void Release();

  std::vector<std::string> Lines();
  size_t Count(const std::string &szText);
  // Waits until at least nTimes lines contain szText.
  bool WaitFor(const std::string &szText, size_t nTimes = 1, DWORD dwTimeoutMs = 20000);
  // Whether lines containing the texts occur in this order (one line each,
  // others between them allowed).
  bool InOrder(const std::vector<std::string> &texts);

 private:
  static void OnLine(const char *pszText, void *pContext);

  std::mutex m_Lock;
  std::condition_variable m_Cond;
  std::unique_ptr<char[]> m_pLines;
  size_t m_nLines = 0;
  size_t m_nDropped = 0;
  char m_szTrigger[kLineSize] = {0};
  int m_nTriggerFn = -1;
  DWORD m_nTriggerSkip = 0;
  DWORD m_nTriggerCalls = 0;
  DWORD m_dwTriggerError = 0;
  char m_szHold[kLineSize] = {0};
  bool m_bHolding = false;
  bool m_bHeld = false;
};

class CPclsTest : public CSimTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  jint OpenRead();
  jint OpenWrite();
  // usbReadInputPipe with an array of nLength bytes; *pBytes gets what it
  // delivered.
  jint Read(size_t nLength, std::vector<BYTE> *pBytes = nullptr);
  jint Write(const std::vector<BYTE> &bytes);
  // usbClosePipe on another thread; a close that does not return within a
  // generous bound ends the test program with a message.
  jint Close(jint nHandle);
  jint ReadHandle() { return m_Jni.PortField("hReadPort"); }
  jint WriteHandle() { return m_Jni.PortField("hWritePort"); }

  // Opens the read pipe and waits until the receiver has its read pending.
  void StartSession();
  bool WaitReceiverPending(DWORD nReads = 1) { return SimWaitPendingReads(m_Dev, nReads, 20000); }
  // Sends bytes and waits until the receiver has stored them all.
  void SendAndWaitStored(const std::vector<BYTE> &bytes);
  // Polls pred (bounded); true when it came true.
  static bool Eventually(const std::function<bool()> &pred, DWORD dwTimeoutMs = 20000);
  bool SessionReleased();

  SIMDEV m_Dev = 0;
  CFakeJni m_Jni;
  CTraceLog m_Log;
};

std::vector<BYTE> Bytes(const char *psz);
