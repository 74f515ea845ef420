// The natives of com.velto.printer.internal.NativePrinters.
//
// As the twelve natives: no Java exception is raised and no C++ exception
// leaves; a session number that names no session fails like a bad handle.
#include "jni/PrinterNatives.h"

#include <stdio.h>

#include <string>

#include "jni/ClassRequests.h"
#include "jni/JniText.h"
#include "jni/PortCalls.h"
#include "jni/Sessions.h"
#include "usbcomm/PrinterList.h"
#include "usbcomm/UsbComm.h"

namespace {

// Each printer of list() is this many strings in a row: USB type, interface
// path, vendor id, product id (decimal, -1 unknown), serial number,
// manufacturer, product, location, USB device instance id (null when not
// known), and "1" when the device table accepts it, else "0".
const int kPrinterFields = 10;

// A Java string of 8-bit system text; null for empty text when bNullIfEmpty.
// False when the JVM could not make it (an exception is pending).
bool PutText(JNIEnv *env, jobjectArray array, jsize nIndex, std::string sText,
             bool bNullIfEmpty = true) {
  if (sText.empty() && bNullIfEmpty) return true;
  jstring text = NewStringFromAnsi(env, &sText[0], (int)sText.size());
  if (text == nullptr) return false;
  env->SetObjectArrayElement(array, nIndex, text);
  env->DeleteLocalRef(text);
  return true;
}

std::string Number(int nValue) {
  char sz[16];
  snprintf(sz, sizeof sz, "%d", nValue);
  return sz;
}

jobjectArray List(JNIEnv *env) {
  const std::vector<CPrinterInfo> printers = ListPrinters();
  jclass stringClass = env->FindClass("java/lang/String");
  if (stringClass == nullptr) return nullptr;
  jobjectArray array =
      env->NewObjectArray((jsize)(printers.size() * kPrinterFields), stringClass, nullptr);
  if (array == nullptr) return nullptr;
  jsize nAt = 0;
  for (const CPrinterInfo &info : printers) {
    const std::string asFields[kPrinterFields] = {
        Number(info.nUsbType),  info.sInterfacePath,
        Number(info.nVendorId), Number(info.nProductId),
        info.sSerial,           info.sManufacturer,
        info.sProduct,          info.sLocation,
        info.sDeviceId,         info.bAccepted ? "1" : "0"};
    for (int i = 0; i < kPrinterFields; ++i, ++nAt) {
      // A serial number is there or not; an empty one is still one.
      const bool bNullIfEmpty = i != 4 || !info.bHasSerial;
      if (!PutText(env, array, nAt, asFields[i], bNullIfEmpty)) return nullptr;
    }
  }
  return array;
}

jlong OpenSession(JNIEnv *env, jstring interfacePath, jint usbType) {
  if (interfacePath == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char *pszPath = env->GetStringUTFChars(interfacePath, nullptr);
  if (pszPath == nullptr) return 0;
  const jlong nSession = AddSession(pszPath, usbType);
  const DWORD dwError = GetLastError();
  env->ReleaseStringUTFChars(interfacePath, pszPath);
  SetLastError(dwError);
  return nSession;
}

// Runs call on the session, or answers nUnknown (last error
// ERROR_INVALID_HANDLE) when there is none, or nFailed when it throws.
template <class Call>
jint OnSession(jlong session, jint nUnknown, jint nFailed, Call call) {
  try {
    const std::shared_ptr<CUsbComm> pComm = FindSession(session);
    if (!pComm) return nUnknown;
    return call(*pComm);
  } catch (...) {
    return nFailed;
  }
}

const jint kBadSession = (jint)ERROR_INVALID_HANDLE;

}  // namespace

extern "C" {

JNIEXPORT jobjectArray JNICALL Java_com_velto_printer_internal_NativePrinters_list(JNIEnv *env,
                                                                                   jclass) {
  try {
    return List(env);
  } catch (...) {
    return nullptr;
  }
}

JNIEXPORT jlong JNICALL Java_com_velto_printer_internal_NativePrinters_openSession(
    JNIEnv *env, jclass, jstring interfacePath, jint usbType) {
  try {
    return OpenSession(env, interfacePath, usbType);
  } catch (...) {
    return 0;
  }
}

JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_freeSession(JNIEnv *, jclass,
                                                                                  jlong session) {
  try {
    return (jint)FreeSession(session);
  } catch (...) {
    return (jint)ERROR_GEN_FAILURE;
  }
}

JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_initPipe(JNIEnv *env, jclass,
                                                                               jlong session,
                                                                               jobject port,
                                                                               jint access) {
  return OnSession(session, -1, -1,
                   [&](CUsbComm &comm) { return InitPipe(env, comm, port, access); });
}

JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_read(JNIEnv *env, jclass,
                                                                           jlong session,
                                                                           jint handle,
                                                                           jbyteArray data) {
  return OnSession(session, -1, -1,
                   [&](CUsbComm &comm) { return ReadInputPipe(env, comm, handle, data); });
}

JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_write(JNIEnv *env, jclass,
                                                                            jlong session,
                                                                            jint handle,
                                                                            jbyteArray data) {
  return OnSession(session, kBadSession, (jint)ERROR_GEN_FAILURE,
                   [&](CUsbComm &comm) { return WriteOutputPipe(env, comm, handle, data); });
}

JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_closePipe(JNIEnv *, jclass,
                                                                                jlong session,
                                                                                jint handle) {
  return OnSession(session, kBadSession, (jint)ERROR_GEN_FAILURE,
                   [&](CUsbComm &comm) { return ClosePipe(comm, handle); });
}

JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_getCommTimeout(JNIEnv *,
                                                                                     jclass,
                                                                                     jlong session,
                                                                                     jint handle) {
  return OnSession(session, kBadSession, (jint)ERROR_GEN_FAILURE,
                   [&](CUsbComm &comm) { return GetCommTimeout(comm, handle); });
}

JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_setCommTimeout(
    JNIEnv *, jclass, jlong session, jint handle, jint readInterval, jint readTotalMultiplier,
    jint readTotalConstant, jint writeTotalMultiplier, jint writeTotalConstant) {
  return OnSession(session, kBadSession, (jint)ERROR_GEN_FAILURE, [&](CUsbComm &comm) {
    return SetCommTimeout(comm, handle, readInterval, readTotalMultiplier, readTotalConstant,
                          writeTotalMultiplier, writeTotalConstant);
  });
}

JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_purge(JNIEnv *, jclass,
                                                                            jlong session,
                                                                            jint handle) {
  return OnSession(session, kBadSession, (jint)ERROR_GEN_FAILURE,
                   [&](CUsbComm &comm) { return PurgeRequest(comm, handle); });
}

JNIEXPORT jint JNICALL
Java_com_velto_printer_internal_NativePrinters_bytesAvailable(JNIEnv *, jclass, jlong session) {
  return OnSession(session, 0, 0, [](CUsbComm &comm) { return (jint)comm.BytesAvailable(); });
}

JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_lastError(JNIEnv *, jclass) {
  return (jint)GetLastError();
}

// The printer class requests go through the session's stored write handle;
// handle names it only for the caller.
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_portStatus(JNIEnv *, jclass,
                                                                                 jlong session,
                                                                                 jint) {
  return OnSession(session, -1, -1, [](CUsbComm &comm) { return PortStatus(comm); });
}

JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_deviceId(JNIEnv *env, jclass,
                                                                               jlong session, jint,
                                                                               jbyteArray data) {
  return OnSession(session, -1, -1, [&](CUsbComm &comm) { return DeviceId(env, comm, data); });
}

// Writes that report what went out.
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_writeTimed(
    JNIEnv *env, jclass, jlong session, jint handle, jbyteArray data, jint offset, jint length,
    jint timeoutMs) {
  return OnSession(session, -1, -1, [&](CUsbComm &comm) {
    return WriteTimed(env, comm, handle, data, offset, length, timeoutMs);
  });
}
}
