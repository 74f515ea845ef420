#include "Driver.h"

#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "jni/PrinterNatives.h"
#include "jni/UsbPort.h"
#include "usbcomm/UsbComm.h"

namespace {

using Clock = std::chrono::steady_clock;

// One slot per thread inside a native; the watchdog looks at them all.
struct CSlot {
  std::atomic<long long> nStartMs{0};
  std::atomic<const char *> pszCall{nullptr};
};
constexpr int kSlots = 32;
CSlot g_aSlots[kSlots];
std::atomic<int> g_nNextSlot{0};
std::mutex g_ContextLock;
std::string g_szContext;
// Start of the current run: a run that waits outside any native (a thread
// of the scenario that never ends) is a hang too.
std::atomic<long long> g_nRunStartMs{0};
constexpr long long kRunLimitMs = 120000;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

void Watch() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long long nNow = NowMs();
    const long long nRunStart = g_nRunStartMs.load();
    if (nRunStart != 0 && nNow - nRunStart > kRunLimitMs) {
      std::lock_guard<std::mutex> lock(g_ContextLock);
      fprintf(stderr, "HANG: the run did not end within %lld ms (%s)\n", kRunLimitMs,
              g_szContext.c_str());
      fflush(stderr);
      _exit(3);
    }
    for (CSlot &slot : g_aSlots) {
      const long long nStart = slot.nStartMs.load();
      if (nStart != 0 && nNow - nStart > kRunBoundMs) {
        std::lock_guard<std::mutex> lock(g_ContextLock);
        fprintf(stderr, "HANG: %s did not return within %u ms (%s)\n", slot.pszCall.load(),
                (unsigned)kRunBoundMs, g_szContext.c_str());
        fflush(stderr);
        _exit(3);
      }
    }
  }
}

class CWatched {
 public:
  explicit CWatched(const char *pszCall) {
    static std::once_flag s_started;
    std::call_once(s_started, [] { std::thread(Watch).detach(); });
    thread_local int t_nSlot = g_nNextSlot.fetch_add(1) % kSlots;
    m_pSlot = &g_aSlots[t_nSlot];
    m_pSlot->pszCall = pszCall;
    m_pSlot->nStartMs = NowMs();
  }
  ~CWatched() { m_pSlot->nStartMs = 0; }

 private:
  CSlot *m_pSlot;
};

}  // namespace

void SetRunContext(const std::string &szContext) {
  std::lock_guard<std::mutex> lock(g_ContextLock);
  g_szContext = szContext;
  g_nRunStartMs = NowMs();
}

std::string NativePrinterPath() {
  return "\\\\?\\usb#vid_fa1c&pid_0a01#6&1f2e3d4c&0&1#{6e3b1a52-94d7-4c2e-b5a8-3f71d0c9e846}";
}

std::string ClassPrinterPath() {
  return "\\\\?\\usb#VID_FB2D&PID_1B10#7&2a3b4c5d&0&1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

SIMDEV PlugPrinter(bool bPrinterClass, const std::string &sPath) {
  // The native driver's interface class, as the library's table has it.
  static const GUID s_guidNative = {
      0x6E3B1A52, 0x94D7, 0x4C2E, {0xB5, 0xA8, 0x3F, 0x71, 0xD0, 0xC9, 0xE8, 0x46}};
  const std::string sAt = !sPath.empty()  ? sPath
                          : bPrinterClass ? ClassPrinterPath()
                                          : NativePrinterPath();
  return bPrinterClass ? SimPlug(SIM_CLASS_PRINTER, nullptr, sAt.c_str())
                       : SimPlug(SIM_CLASS_NATIVE, &s_guidNative, sAt.c_str());
}

jint CDriver::Open(bool bRead, jint *pnHandle) {
  CWatched watched("usbInitPipe");
  const jint nAccess = (jint)(bRead ? GENERIC_READ : GENERIC_WRITE);
  const jint nType = m_nSession != 0 ? Java_com_velto_printer_internal_NativePrinters_initPipe(
                                           m_jni.Env(), nullptr, m_nSession, m_jni.Port(), nAccess)
                                     : Java_com_velto_printer_UsbPort_usbInitPipe(
                                           m_jni.Env(), m_jni.Self(), m_jni.Port(), nAccess);
  *pnHandle = nType < 0 ? 0 : m_jni.PortField(bRead ? "hReadPort" : "hWritePort");
  return nType;
}

jint CDriver::Read(jint nHandle, size_t nLength, std::string *pGot) {
  jbyteArray array = m_jni.NewByteArray(nLength, 0);
  jint n;
  {
    CWatched watched("usbReadInputPipe");
    n = m_nSession != 0 ? Java_com_velto_printer_internal_NativePrinters_read(
                              m_jni.Env(), nullptr, m_nSession, nHandle, array)
                        : Java_com_velto_printer_UsbPort_usbReadInputPipe(m_jni.Env(), m_jni.Self(),
                                                                          nHandle, array);
  }
  const std::vector<jbyte> bytes = m_jni.Bytes(array);
  if (n > 0 && pGot != nullptr) pGot->assign(bytes.begin(), bytes.begin() + n);
  return n;
}

jint CDriver::Write(jint nHandle, const std::string &sData) {
  jbyteArray array = m_jni.NewByteArray(std::vector<jbyte>(sData.begin(), sData.end()));
  CWatched watched("usbWriteOutputPipe");
  if (m_nSession != 0) {
    return Java_com_velto_printer_internal_NativePrinters_write(m_jni.Env(), nullptr, m_nSession,
                                                                nHandle, array);
  }
  return Java_com_velto_printer_UsbPort_usbWriteOutputPipe(m_jni.Env(), m_jni.Self(), nHandle,
                                                           array);
}

jint CDriver::Close(jint nHandle) {
  CWatched watched("usbClosePipe");
  if (m_nSession != 0) {
    return Java_com_velto_printer_internal_NativePrinters_closePipe(m_jni.Env(), nullptr,
                                                                    m_nSession, nHandle);
  }
  return Java_com_velto_printer_UsbPort_usbClosePipe(m_jni.Env(), m_jni.Self(), nHandle);
}

jint CDriver::GetTimeout(jint nHandle) {
  CWatched watched("usbGetCommTimeout");
  if (m_nSession != 0) {
    return Java_com_velto_printer_internal_NativePrinters_getCommTimeout(m_jni.Env(), nullptr,
                                                                         m_nSession, nHandle);
  }
  return Java_com_velto_printer_UsbPort_usbGetCommTimeout(m_jni.Env(), m_jni.Self(), nHandle);
}

jint CDriver::SetTimeouts(jint nHandle) {
  CWatched watched("usbSetCommTimeout");
  if (m_nSession != 0) {
    return Java_com_velto_printer_internal_NativePrinters_setCommTimeout(
        m_jni.Env(), nullptr, m_nSession, nHandle, 50, 0, 200, 0, 1000);
  }
  return Java_com_velto_printer_UsbPort_usbSetCommTimeout(m_jni.Env(), m_jni.Self(), nHandle, 50, 0,
                                                          200, 0, 1000);
}

jint CDriver::Purge(jint nHandle) {
  CWatched watched("usbPurgeRequest");
  if (m_nSession != 0) {
    return Java_com_velto_printer_internal_NativePrinters_purge(m_jni.Env(), nullptr, m_nSession,
                                                                nHandle);
  }
  return Java_com_velto_printer_UsbPort_usbPurgeRequest(m_jni.Env(), m_jni.Self(), nHandle);
}

jint CDriver::BytesAvailable() {
  CWatched watched("usbGetBytesAvailable");
  if (m_nSession != 0) {
    return Java_com_velto_printer_internal_NativePrinters_bytesAvailable(m_jni.Env(), nullptr,
                                                                         m_nSession);
  }
  return Java_com_velto_printer_UsbPort_usbGetBytesAvailable(m_jni.Env(), m_jni.Self());
}

std::string CDriver::ErrorText(jint nCode) {
  jstring str;
  {
    CWatched watched("usbGetErrorString");
    str = Java_com_velto_printer_UsbPort_usbGetErrorString(m_jni.Env(), m_jni.Self(), nCode);
  }
  return str != nullptr ? m_jni.StringBytes(str) : std::string();
}

jint CDriver::LastError() {
  return Java_com_velto_printer_UsbPort_usbGetLastError(m_jni.Env(), m_jni.Self());
}

jlong OpenSession(const std::string &sPath, bool bPrinterClass) {
  CFakeJni jni;
  jstring path = jni.Env()->NewStringUTF(sPath.c_str());
  return Java_com_velto_printer_internal_NativePrinters_openSession(
      jni.Env(), nullptr, path, bPrinterClass ? USB_TYPE_PRINTER_CLASS : USB_TYPE_NATIVE);
}

jint FreeSession(jlong nSession) {
  return Java_com_velto_printer_internal_NativePrinters_freeSession(nullptr, nullptr, nSession);
}

bool IsSubsequence(const std::string &got, const std::string &sent) {
  size_t nAt = 0;
  for (char c : got) {
    nAt = sent.find(c, nAt);
    if (nAt == std::string::npos) return false;
    ++nAt;
  }
  return true;
}
