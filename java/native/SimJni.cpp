// JNI binding of the simulated printers' control API for Java tests and the
// demo (libveltosim_jni). It shares libwin32emu with the veltousb module that
// the same JVM loads, so both see one emulation.
//
// Texts cross the boundary as byte arrays (8-bit, the emulation's code page)
// so that nothing depends on modified UTF-8.
#include <jni.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "com_velto_printer_sim_SimNative.h"
#include "usbcomm/UsbComm.h"
#include "velto/simprinter.h"

namespace {

// Debugger output is buffered here instead of being handed to Java from the
// tracing thread: the receiver thread of the library is no JVM thread, and a
// listener that never touches the JVM needs no attach/detach and cannot
// deadlock against it.
class CDebugSink {
 public:
  static const size_t kMaxTexts = 200000;

  void Append(const char *pszText) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_texts.size() >= kMaxTexts) {
      m_nDropped++;
      return;
    }
    m_texts.emplace_back(pszText != nullptr ? pszText : "");
    m_cond.notify_all();
  }

  // Every buffered text followed by a NUL; waits up to dwTimeoutMs for one.
  std::string Take(DWORD dwTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                    [this] { return !m_texts.empty(); });
    std::string joined;
    for (const std::string &s : m_texts) {
      joined += s;
      joined += '\0';
    }
    m_texts.clear();
    return joined;
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_texts.clear();
    m_nDropped = 0;
  }

  unsigned long long Dropped() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nDropped;
  }

  bool m_bCapturing = false;  // guarded by g_controlMutex

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  std::deque<std::string> m_texts;
  unsigned long long m_nDropped = 0;
};

// Never destroyed: a trace from a thread that outlives static destruction at
// JVM exit must still find a live sink.
CDebugSink *const g_pDebugSink = new CDebugSink;
std::mutex g_controlMutex;  // serialises capture on/off against reset

void OnDebugText(const char *pszText, void *pContext) {
  static_cast<CDebugSink *>(pContext)->Append(pszText);
}

jbyteArray NewBytes(JNIEnv *env, const void *pData, size_t nBytes) {
  jbyteArray array = env->NewByteArray(static_cast<jsize>(nBytes));
  if (array == nullptr || env->ExceptionCheck()) {
    return nullptr;  // OutOfMemoryError pending
  }
  if (nBytes > 0) {
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(nBytes),
                            static_cast<const jbyte *>(pData));
  }
  return array;
}

jbyteArray NewBytes(JNIEnv *env, const std::string &s) { return NewBytes(env, s.data(), s.size()); }

// Copies a Java byte array; false for null.
bool GetBytes(JNIEnv *env, jbyteArray array, std::string *pOut) {
  if (array == nullptr) {
    return false;
  }
  jsize nLength = env->GetArrayLength(array);
  pOut->assign(static_cast<size_t>(nLength), '\0');
  if (nLength > 0) {
    env->GetByteArrayRegion(array, 0, nLength, reinterpret_cast<jbyte *>(&(*pOut)[0]));
  }
  return true;
}

std::string FormatGuid(const GUID &guid) {
  char szGuid[40];
  std::snprintf(szGuid, sizeof szGuid, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return szGuid;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (braces optional).
bool ParseGuid(const std::string &sText, GUID *pGuid) {
  std::string sHex;
  std::string s = sText;
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') {
    s = s.substr(1, 36);
  }
  if (s.size() != 36) {
    return false;
  }
  for (size_t i = 0; i < s.size(); i++) {
    bool bDash = i == 8 || i == 13 || i == 18 || i == 23;
    if (bDash != (s[i] == '-')) {
      return false;
    }
    if (!bDash) {
      if (HexDigit(s[i]) < 0) {
        return false;
      }
      sHex += s[i];
    }
  }
  auto value = [&sHex](size_t nPos, size_t nDigits) {
    unsigned long v = 0;
    for (size_t i = 0; i < nDigits; i++) {
      v = v * 16 + static_cast<unsigned long>(HexDigit(sHex[nPos + i]));
    }
    return v;
  };
  pGuid->Data1 = static_cast<uint32_t>(value(0, 8));
  pGuid->Data2 = static_cast<uint16_t>(value(8, 4));
  pGuid->Data3 = static_cast<uint16_t>(value(12, 4));
  for (size_t i = 0; i < 8; i++) {
    pGuid->Data4[i] = static_cast<uint8_t>(value(16 + 2 * i, 2));
  }
  return true;
}

DWORD Dword(jint n) { return static_cast<DWORD>(n); }

}  // namespace

// ---- Devices ----

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_plug(JNIEnv *env, jclass, jint nClass,
                                                                 jbyteArray interfaceClass,
                                                                 jbyteArray path) {
  std::string sGuid, sPath;
  GUID guid;
  bool bGuid = GetBytes(env, interfaceClass, &sGuid);
  if (bGuid && !ParseGuid(sGuid, &guid)) {
    return 0;
  }
  if (!GetBytes(env, path, &sPath) || sPath.find('\0') != std::string::npos) {
    return 0;
  }
  return SimPlug(nClass, bGuid ? &guid : nullptr, sPath.c_str());
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_unplug(JNIEnv *, jclass, jint dev) {
  return SimUnplug(dev) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_replug(JNIEnv *, jclass, jint dev) {
  return SimReplug(dev) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_isPlugged(JNIEnv *, jclass,
                                                                          jint dev) {
  return SimIsPlugged(dev) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_setRemovalError(JNIEnv *, jclass,
                                                                                jint dev,
                                                                                jint code) {
  return SimSetRemovalError(dev, (DWORD)code) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_setIdentity(
    JNIEnv *env, jclass, jint dev, jbyteArray manufacturer, jbyteArray product, jbyteArray serial,
    jbyteArray location) {
  // A null array is an absent text; a text with a NUL cannot cross as a C string.
  std::string asText[4];
  const char *apszText[4] = {};
  const jbyteArray aArrays[4] = {manufacturer, product, serial, location};
  for (int i = 0; i < 4; i++) {
    if (GetBytes(env, aArrays[i], &asText[i])) {
      if (asText[i].find('\0') != std::string::npos) {
        return JNI_FALSE;
      }
      apszText[i] = asText[i].c_str();
    }
  }
  return SimSetIdentity(dev, apszText[0], apszText[1], apszText[2], apszText[3]) ? JNI_TRUE
                                                                                 : JNI_FALSE;
}

// ---- Data ----

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_send(JNIEnv *env, jclass, jint dev,
                                                                     jbyteArray data) {
  std::string sData;
  if (!GetBytes(env, data, &sData)) {
    return JNI_FALSE;
  }
  return SimSend(dev, sData.data(), static_cast<DWORD>(sData.size())) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_pendingToHost(JNIEnv *, jclass,
                                                                          jint dev) {
  return static_cast<jint>(SimPendingToHost(dev));
}

JNIEXPORT jbyteArray JNICALL Java_com_velto_printer_sim_SimNative_written(JNIEnv *env, jclass,
                                                                          jint dev) {
  // The log may grow between the size query and the copy: copy until it fits.
  std::vector<char> buffer(256);
  DWORD nLength;
  while ((nLength = SimWritten(dev, buffer.data(), static_cast<DWORD>(buffer.size()))) >
         buffer.size()) {
    buffer.resize(nLength);
  }
  return NewBytes(env, buffer.data(), nLength);
}

JNIEXPORT void JNICALL Java_com_velto_printer_sim_SimNative_clearWritten(JNIEnv *, jclass,
                                                                         jint dev) {
  SimClearWritten(dev);
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_addResponder(JNIEnv *env, jclass,
                                                                             jint dev,
                                                                             jbyteArray request,
                                                                             jbyteArray reply) {
  std::string sRequest, sReply;
  if (!GetBytes(env, request, &sRequest) || !GetBytes(env, reply, &sReply)) {
    return JNI_FALSE;
  }
  return SimAddResponder(dev, sRequest.data(), static_cast<DWORD>(sRequest.size()), sReply.data(),
                         static_cast<DWORD>(sReply.size()))
             ? JNI_TRUE
             : JNI_FALSE;
}

// ---- Printer class requests ----

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_setPortStatus(JNIEnv *, jclass,
                                                                              jint dev,
                                                                              jint status) {
  return SimSetPortStatus(dev, static_cast<BYTE>(status)) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_setDeviceId(JNIEnv *env, jclass,
                                                                            jint dev,
                                                                            jbyteArray raw) {
  std::string sRaw;
  if (!GetBytes(env, raw, &sRaw)) return SimSetDeviceId(dev, nullptr, 0) ? JNI_TRUE : JNI_FALSE;
  return SimSetDeviceId(dev, sRaw.data(), static_cast<DWORD>(sRaw.size())) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_scriptControlError(JNIEnv *, jclass,
                                                                                   jint dev,
                                                                                   jint pipe,
                                                                                   jint error) {
  return SimScriptControlError(dev, pipe, Dword(error)) ? JNI_TRUE : JNI_FALSE;
}

// ---- Scripted results ----

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_scriptOpenError(JNIEnv *, jclass,
                                                                                jint dev, jint pipe,
                                                                                jint error) {
  return SimScriptOpenError(dev, pipe, Dword(error)) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_scriptReadError(JNIEnv *, jclass,
                                                                                jint dev, jint pipe,
                                                                                jint error) {
  return SimScriptReadError(dev, pipe, Dword(error)) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_scriptZeroRead(JNIEnv *, jclass,
                                                                               jint dev,
                                                                               jint pipe) {
  return SimScriptZeroRead(dev, pipe) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_scriptWriteError(JNIEnv *, jclass,
                                                                                 jint dev,
                                                                                 jint pipe,
                                                                                 jint error) {
  return SimScriptWriteError(dev, pipe, Dword(error)) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_scriptShortWrite(JNIEnv *, jclass,
                                                                                 jint dev,
                                                                                 jint pipe,
                                                                                 jint nBytes) {
  return SimScriptShortWrite(dev, pipe, Dword(nBytes)) ? JNI_TRUE : JNI_FALSE;
}

// ---- Native driver state ----

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_getTimeouts(JNIEnv *env, jclass,
                                                                            jint dev,
                                                                            jintArray timeouts) {
  if (timeouts == nullptr || env->GetArrayLength(timeouts) != 5) {
    return JNI_FALSE;
  }
  COMMTIMEOUTS ct;
  if (!SimGetTimeouts(dev, &ct)) {
    return JNI_FALSE;
  }
  jint anValues[5] = {static_cast<jint>(ct.ReadIntervalTimeout),
                      static_cast<jint>(ct.ReadTotalTimeoutMultiplier),
                      static_cast<jint>(ct.ReadTotalTimeoutConstant),
                      static_cast<jint>(ct.WriteTotalTimeoutMultiplier),
                      static_cast<jint>(ct.WriteTotalTimeoutConstant)};
  env->SetIntArrayRegion(timeouts, 0, 5, anValues);
  return JNI_TRUE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_setTimeouts(JNIEnv *env, jclass,
                                                                            jint dev,
                                                                            jintArray timeouts) {
  if (timeouts == nullptr || env->GetArrayLength(timeouts) != 5) {
    return JNI_FALSE;
  }
  jint anValues[5];
  env->GetIntArrayRegion(timeouts, 0, 5, anValues);
  COMMTIMEOUTS ct = {Dword(anValues[0]), Dword(anValues[1]), Dword(anValues[2]), Dword(anValues[3]),
                     Dword(anValues[4])};
  return SimSetTimeouts(dev, &ct) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_purgeCount(JNIEnv *, jclass, jint dev) {
  return static_cast<jint>(SimPurgeCount(dev));
}

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_lastPurgeFlags(JNIEnv *, jclass,
                                                                           jint dev) {
  return static_cast<jint>(SimLastPurgeFlags(dev));
}

// ---- Observation ----

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_pendingReads(JNIEnv *, jclass,
                                                                         jint dev) {
  return static_cast<jint>(SimPendingReads(dev));
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_setWriteStall(JNIEnv *, jclass,
                                                                              jint dev,
                                                                              jboolean stall) {
  return SimSetWriteStall(dev, stall ? TRUE : FALSE) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_waitPendingWrites(JNIEnv *, jclass,
                                                                                  jint dev,
                                                                                  jint nWrites,
                                                                                  jint timeoutMs) {
  return SimWaitPendingWrites(dev, Dword(nWrites), Dword(timeoutMs)) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_waitPendingReads(JNIEnv *, jclass,
                                                                                 jint dev,
                                                                                 jint nReads,
                                                                                 jint timeoutMs) {
  return SimWaitPendingReads(dev, Dword(nReads), Dword(timeoutMs)) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_waitWritten(JNIEnv *, jclass,
                                                                            jint dev, jint nBytes,
                                                                            jint timeoutMs) {
  return SimWaitWritten(dev, Dword(nBytes), Dword(timeoutMs)) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_waitDrained(JNIEnv *, jclass,
                                                                            jint dev,
                                                                            jint timeoutMs) {
  return SimWaitDrained(dev, Dword(timeoutMs)) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_com_velto_printer_sim_SimNative_waitCallCount(JNIEnv *, jclass,
                                                                              jint fn, jint nCalls,
                                                                              jint timeoutMs) {
  return SimWaitCallCount(fn, Dword(nCalls), Dword(timeoutMs)) ? JNI_TRUE : JNI_FALSE;
}

// ---- Failure injection ----

JNIEXPORT void JNICALL Java_com_velto_printer_sim_SimNative_injectFailure(JNIEnv *, jclass, jint fn,
                                                                          jint skip, jint calls,
                                                                          jint error) {
  SimInjectFailure(fn, Dword(skip), Dword(calls), Dword(error));
}

JNIEXPORT void JNICALL Java_com_velto_printer_sim_SimNative_clearInjections(JNIEnv *, jclass) {
  SimClearInjections();
}

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_callCount(JNIEnv *, jclass, jint fn) {
  return static_cast<jint>(SimCallCount(fn));
}

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_functionCount(JNIEnv *, jclass) {
  return SIM_FN_COUNT;
}

JNIEXPORT jbyteArray JNICALL Java_com_velto_printer_sim_SimNative_functionName(JNIEnv *env, jclass,
                                                                               jint fn) {
  const char *pszName = SimFnName(fn);
  return pszName != nullptr ? NewBytes(env, pszName, std::strlen(pszName)) : nullptr;
}

// ---- Debugger output ----

JNIEXPORT void JNICALL Java_com_velto_printer_sim_SimNative_captureDebugOutput(JNIEnv *, jclass,
                                                                               jboolean on) {
  std::lock_guard<std::mutex> lock(g_controlMutex);
  g_pDebugSink->m_bCapturing = on == JNI_TRUE;
  SimSetDebugListener(g_pDebugSink->m_bCapturing ? OnDebugText : nullptr, g_pDebugSink);
}

JNIEXPORT jbyteArray JNICALL Java_com_velto_printer_sim_SimNative_takeDebugOutput(JNIEnv *env,
                                                                                  jclass,
                                                                                  jint timeoutMs) {
  return NewBytes(env, g_pDebugSink->Take(timeoutMs > 0 ? Dword(timeoutMs) : 0));
}

JNIEXPORT jlong JNICALL Java_com_velto_printer_sim_SimNative_debugOutputDropped(JNIEnv *, jclass) {
  return static_cast<jlong>(g_pDebugSink->Dropped());
}

// ---- System message table ----

JNIEXPORT void JNICALL Java_com_velto_printer_sim_SimNative_setMessageText(JNIEnv *env, jclass,
                                                                           jint code,
                                                                           jbyteArray text) {
  std::string sText;
  bool bText = GetBytes(env, text, &sText);
  SimSetMessageText(Dword(code), bText ? sText.c_str() : nullptr);
}

// ---- Lifecycle ----

JNIEXPORT void JNICALL Java_com_velto_printer_sim_SimNative_reset(JNIEnv *, jclass) {
  std::lock_guard<std::mutex> lock(g_controlMutex);
  SimReset();  // detaches every listener
  if (g_pDebugSink->m_bCapturing) {
    SimSetDebugListener(OnDebugText, g_pDebugSink);
  }
  g_pDebugSink->Clear();
}

JNIEXPORT void JNICALL Java_com_velto_printer_sim_SimNative_useHostPrinters(JNIEnv *, jclass,
                                                                            jboolean use) {
  SimUseHostPrinters(use ? TRUE : FALSE);
}

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_openHandleCount(JNIEnv *, jclass) {
  return static_cast<jint>(SimOpenHandleCount());
}

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_liveThreadCount(JNIEnv *, jclass) {
  return static_cast<jint>(SimLiveThreadCount());
}

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_deviceCount(JNIEnv *, jclass) {
  return static_cast<jint>(SimDeviceCount());
}

JNIEXPORT jbyteArray JNICALL Java_com_velto_printer_sim_SimNative_leakReport(JNIEnv *env, jclass,
                                                                             jint graceMs) {
  std::vector<char> report(16384);
  if (SimLeakReport(report.data(), static_cast<DWORD>(report.size()), Dword(graceMs)) == 0) {
    return NewBytes(env, "", 0);
  }
  report.back() = '\0';
  return NewBytes(env, report.data(), std::strlen(report.data()));
}

// ---- The library's device identification ----

JNIEXPORT jbyteArray JNICALL
Java_com_velto_printer_sim_SimNative_nativePrinterInterfaceClass(JNIEnv *env, jclass) {
  return NewBytes(env, FormatGuid(GUID_DEVINTERFACE_NATIVE_PRINTER));
}

JNIEXPORT jbyteArray JNICALL
Java_com_velto_printer_sim_SimNative_printerClassInterfaceClass(JNIEnv *env, jclass) {
  return NewBytes(env, FormatGuid(SIM_GUID_DEVINTERFACE_USBPRINT));
}

JNIEXPORT jbyteArray JNICALL Java_com_velto_printer_sim_SimNative_devicePatterns(JNIEnv *env,
                                                                                 jclass) {
  std::string sJoined;
  for (const char *const *ppsz = g_apszDevicePatterns; *ppsz != nullptr; ppsz++) {
    sJoined += *ppsz;
    sJoined += '\0';
  }
  return NewBytes(env, sJoined);
}

// ---- What the library would find: the present interfaces of a class ----

JNIEXPORT jbyteArray JNICALL Java_com_velto_printer_sim_SimNative_presentInterfaces(
    JNIEnv *env, jclass, jbyteArray interfaceClass) {
  std::string sGuid;
  GUID guid;
  if (!GetBytes(env, interfaceClass, &sGuid) || !ParseGuid(sGuid, &guid)) return nullptr;
  HDEVINFO hSet =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hSet == INVALID_HANDLE_VALUE) return nullptr;
  std::string sJoined;
  SP_DEVICE_INTERFACE_DATA data;
  for (DWORD i = 0;; i++) {
    memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(hSet, nullptr, &guid, i, &data)) break;
    DWORD nRequired = 0;
    SetupDiGetDeviceInterfaceDetailA(hSet, &data, nullptr, 0, &nRequired, nullptr);
    if (nRequired < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::vector<char> block(nRequired);
    auto *pDetail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(hSet, &data, pDetail, nRequired, nullptr, nullptr)) {
      sJoined += pDetail->DevicePath;
      sJoined += '\0';
    }
  }
  SetupDiDestroyDeviceInfoList(hSet);
  return NewBytes(env, sJoined);
}

JNIEXPORT jint JNICALL Java_com_velto_printer_sim_SimNative_openError(JNIEnv *env, jclass,
                                                                      jbyteArray path) {
  std::string sPath;
  if (!GetBytes(env, path, &sPath) || sPath.find('\0') != std::string::npos) {
    return ERROR_INVALID_PARAMETER;
  }
  HANDLE h = CreateFileA(sPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<jint>(GetLastError());
  CloseHandle(h);
  return 0;
}
