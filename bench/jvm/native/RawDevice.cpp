// Raw baselines of the JVM benchmarks: the plainest JNI binding of the Win32
// calls on the same simulated printers, with none of the library's work
// (no session, no ring, no traces). Built by tools/bench.sh against the
// emulation of the build under test.
#include <jni.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>
#include <vector>

#include "velto/platform.h"

namespace {

HANDLE FromJava(jlong h) { return (HANDLE)(intptr_t)h; }

// One reusable buffer per thread: a raw binding need not allocate per call.
BYTE *ThreadBuffer(size_t nBytes) {
  thread_local std::vector<BYTE> t_buffer;
  if (t_buffer.size() < nBytes) t_buffer.resize(nBytes);
  return t_buffer.data();
}

// A receiver without the library: one overlapped 64-byte read at a time, its
// bytes counted and thrown away, until the quit event.
struct CRawReceiver {
  HANDLE hFile;
  HANDLE hQuit;
  HANDLE hThread;
  std::atomic<long long> nBytes{0};
};

// One overlapped 64-byte read at a time until the quit event or a failure,
// each block handed to onBlock. A read a purge ended is read again when
// bRetryAborted, as a reader that retries does.
template <class Fn>
void ReadBlocks(HANDLE hFile, HANDLE hQuit, bool bRetryAborted, Fn onBlock) {
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  BYTE ab[64];
  for (;;) {
    DWORD nRead = 0;
    if (!ReadFile(hFile, ab, sizeof ab, &nRead, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING) break;
      const HANDLE ah[2] = {ov.hEvent, hQuit};
      if (WaitForMultipleObjects(2, ah, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIo(hFile);
        GetOverlappedResult(hFile, &ov, &nRead, TRUE);
        break;
      }
      if (!GetOverlappedResult(hFile, &ov, &nRead, FALSE)) {
        if (bRetryAborted && GetLastError() == ERROR_OPERATION_ABORTED) continue;
        break;
      }
    }
    onBlock(ab, nRead);
  }
  CloseHandle(ov.hEvent);
}

DWORD WINAPI RawReceiverProc(LPVOID pParameter) {
  CRawReceiver *pReceiver = static_cast<CRawReceiver *>(pParameter);
  ReadBlocks(pReceiver->hFile, pReceiver->hQuit, true,
             [pReceiver](const BYTE *, DWORD nRead) { pReceiver->nBytes += nRead; });
  return 0;
}

// Two hops without the library: a thread reads 64-byte blocks, as the
// library's receiver does, and hands them to the reader through a locked
// queue and an event. Beside the one-hop raw read it shows what the hand-off
// between two threads costs by itself.
struct CRawRelay {
  HANDLE hFile;
  HANDLE hQuit;
  HANDLE hData;
  HANDLE hThread;
  CRITICAL_SECTION lock;
  std::vector<BYTE> bytes;
};

DWORD WINAPI RawRelayProc(LPVOID pParameter) {
  CRawRelay *pRelay = static_cast<CRawRelay *>(pParameter);
  ReadBlocks(pRelay->hFile, pRelay->hQuit, false, [pRelay](const BYTE *pBlock, DWORD nRead) {
    EnterCriticalSection(&pRelay->lock);
    pRelay->bytes.insert(pRelay->bytes.end(), pBlock, pBlock + nRead);
    LeaveCriticalSection(&pRelay->lock);
    SetEvent(pRelay->hData);
  });
  return 0;
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_velto_printer_bench_RawDevice_open(JNIEnv *env, jclass,
                                                                    jbyteArray path,
                                                                    jboolean overlapped) {
  const jsize nLength = env->GetArrayLength(path);
  std::vector<char> szPath((size_t)nLength + 1, '\0');
  env->GetByteArrayRegion(path, 0, nLength, reinterpret_cast<jbyte *>(szPath.data()));
  HANDLE h =
      CreateFileA(szPath.data(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  NULL, OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
  return h == INVALID_HANDLE_VALUE ? -1 : (jlong)(intptr_t)h;
}

JNIEXPORT void JNICALL Java_com_velto_printer_bench_RawDevice_close(JNIEnv *, jclass, jlong h) {
  CloseHandle(FromJava(h));
}

JNIEXPORT jint JNICALL Java_com_velto_printer_bench_RawDevice_write(JNIEnv *env, jclass, jlong h,
                                                                    jbyteArray data) {
  const jsize nLength = env->GetArrayLength(data);
  BYTE *pBuffer = ThreadBuffer((size_t)nLength + 1);
  env->GetByteArrayRegion(data, 0, nLength, reinterpret_cast<jbyte *>(pBuffer));
  DWORD nWritten = 0;
  if (!WriteFile(FromJava(h), pBuffer, (DWORD)nLength, &nWritten, NULL)) {
    return -(jint)GetLastError();
  }
  return (jint)nWritten;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_bench_RawDevice_read(JNIEnv *env, jclass, jlong h,
                                                                   jbyteArray data) {
  const jsize nLength = env->GetArrayLength(data);
  BYTE *pBuffer = ThreadBuffer((size_t)nLength + 1);
  DWORD nRead = 0;
  if (!ReadFile(FromJava(h), pBuffer, (DWORD)nLength, &nRead, NULL)) return -(jint)GetLastError();
  if (nRead > 0) env->SetByteArrayRegion(data, 0, (jsize)nRead, reinterpret_cast<jbyte *>(pBuffer));
  return (jint)nRead;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_bench_RawDevice_purge(JNIEnv *, jclass, jlong h) {
  return PurgeComm(FromJava(h), PURGE_RXABORT | PURGE_RXCLEAR) ? 0 : (jint)GetLastError();
}

JNIEXPORT jlong JNICALL Java_com_velto_printer_bench_RawDevice_startReceiver(JNIEnv *, jclass,
                                                                             jlong h) {
  CRawReceiver *pReceiver = new CRawReceiver;
  pReceiver->hFile = FromJava(h);
  pReceiver->hQuit = CreateEventA(NULL, TRUE, FALSE, NULL);
  pReceiver->hThread = CreateThread(NULL, 0, RawReceiverProc, pReceiver, 0, NULL);
  return (jlong)(intptr_t)pReceiver;
}

JNIEXPORT jlong JNICALL Java_com_velto_printer_bench_RawDevice_receiverBytes(JNIEnv *, jclass,
                                                                             jlong receiver) {
  return (jlong)((CRawReceiver *)(intptr_t)receiver)->nBytes.load();
}

// Stops the receiver and closes its file: the raw counterpart of a close
// with a read pending.
JNIEXPORT void JNICALL Java_com_velto_printer_bench_RawDevice_stopReceiver(JNIEnv *, jclass,
                                                                           jlong receiver) {
  CRawReceiver *pReceiver = (CRawReceiver *)(intptr_t)receiver;
  SetEvent(pReceiver->hQuit);
  WaitForSingleObject(pReceiver->hThread, INFINITE);
  CloseHandle(pReceiver->hThread);
  CloseHandle(pReceiver->hQuit);
  CloseHandle(pReceiver->hFile);
  delete pReceiver;
}

JNIEXPORT jlong JNICALL Java_com_velto_printer_bench_RawDevice_startRelay(JNIEnv *, jclass,
                                                                          jlong h) {
  CRawRelay *pRelay = new CRawRelay;
  pRelay->hFile = FromJava(h);
  pRelay->hQuit = CreateEventA(NULL, TRUE, FALSE, NULL);
  pRelay->hData = CreateEventA(NULL, TRUE, FALSE, NULL);
  InitializeCriticalSection(&pRelay->lock);
  pRelay->hThread = CreateThread(NULL, 0, RawRelayProc, pRelay, 0, NULL);
  return (jlong)(intptr_t)pRelay;
}

// What the relay holds (up to the array's length), waiting up to 100 ms for
// it as the library's read does; 0 when nothing came.
JNIEXPORT jint JNICALL Java_com_velto_printer_bench_RawDevice_relayRead(JNIEnv *env, jclass,
                                                                        jlong relay,
                                                                        jbyteArray data) {
  CRawRelay *pRelay = (CRawRelay *)(intptr_t)relay;
  const size_t nLength = (size_t)env->GetArrayLength(data);
  BYTE *pBuffer = ThreadBuffer(nLength + 1);
  for (int nTry = 0; nTry < 2; ++nTry) {
    ResetEvent(pRelay->hData);
    EnterCriticalSection(&pRelay->lock);
    const size_t n = pRelay->bytes.size() < nLength ? pRelay->bytes.size() : nLength;
    memcpy(pBuffer, pRelay->bytes.data(), n);
    pRelay->bytes.erase(pRelay->bytes.begin(), pRelay->bytes.begin() + (ptrdiff_t)n);
    LeaveCriticalSection(&pRelay->lock);
    if (n > 0) {
      env->SetByteArrayRegion(data, 0, (jsize)n, reinterpret_cast<jbyte *>(pBuffer));
      return (jint)n;
    }
    if (nTry == 0) WaitForSingleObject(pRelay->hData, 100);
  }
  return 0;
}

JNIEXPORT void JNICALL Java_com_velto_printer_bench_RawDevice_stopRelay(JNIEnv *, jclass,
                                                                        jlong relay) {
  CRawRelay *pRelay = (CRawRelay *)(intptr_t)relay;
  SetEvent(pRelay->hQuit);
  WaitForSingleObject(pRelay->hThread, INFINITE);
  CloseHandle(pRelay->hThread);
  CloseHandle(pRelay->hQuit);
  CloseHandle(pRelay->hData);
  CloseHandle(pRelay->hFile);
  DeleteCriticalSection(&pRelay->lock);
  delete pRelay;
}

// The interface paths SetupAPI gives as present for an interface class (its
// GUID as text), as Java strings: the raw counterpart of listing the
// printers, without the properties and ids the library reads for each. Null
// for a malformed GUID or a failed SetupDiGetClassDevsA.
JNIEXPORT jobjectArray JNICALL
Java_com_velto_printer_bench_RawDevice_listPaths(JNIEnv *env, jclass, jbyteArray interfaceClass) {
  char szGuid[64] = {0};
  jsize nLength = env->GetArrayLength(interfaceClass);
  if (nLength > (jsize)sizeof szGuid - 1) nLength = (jsize)sizeof szGuid - 1;
  env->GetByteArrayRegion(interfaceClass, 0, nLength, reinterpret_cast<jbyte *>(szGuid));
  unsigned int a[11];
  if (sscanf(szGuid, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &a[0], &a[1], &a[2], &a[3], &a[4],
             &a[5], &a[6], &a[7], &a[8], &a[9], &a[10]) != 11) {
    return NULL;
  }
  GUID guid;
  guid.Data1 = a[0];
  guid.Data2 = (WORD)a[1];
  guid.Data3 = (WORD)a[2];
  for (int i = 0; i < 8; ++i) guid.Data4[i] = (BYTE)a[3 + i];
  HDEVINFO hDevInfo =
      SetupDiGetClassDevsA(&guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hDevInfo == INVALID_HANDLE_VALUE) return NULL;
  std::vector<std::string> paths;
  SP_DEVICE_INTERFACE_DATA interfaceData;
  memset(&interfaceData, 0, sizeof interfaceData);
  interfaceData.cbSize = sizeof interfaceData;
  for (DWORD nIndex = 0; SetupDiEnumDeviceInterfaces(hDevInfo, NULL, &guid, nIndex, &interfaceData);
       ++nIndex) {
    DWORD nRequired = 0;
    SetupDiGetDeviceInterfaceDetailA(hDevInfo, &interfaceData, NULL, 0, &nRequired, NULL);
    if (nRequired < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::vector<BYTE> block(nRequired + 1, 0);
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail =
        reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(hDevInfo, &interfaceData, pDetail, nRequired, NULL,
                                         NULL)) {
      paths.push_back(pDetail->DevicePath);
    }
  }
  SetupDiDestroyDeviceInfoList(hDevInfo);
  jobjectArray out =
      env->NewObjectArray((jsize)paths.size(), env->FindClass("java/lang/String"), NULL);
  for (size_t i = 0; out != NULL && i < paths.size(); ++i) {
    jstring path = env->NewStringUTF(paths[i].c_str());
    env->SetObjectArrayElement(out, (jsize)i, path);
    env->DeleteLocalRef(path);
  }
  return out;
}

}  // extern "C"
