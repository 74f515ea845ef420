// The twelve natives of com.velto.printer.UsbPort, on the default printer.
#include "jni/UsbPort.h"

#include "jni/PortCalls.h"
#include "trace/Trace.h"
#include "usbcomm/UsbComm.h"

extern "C" {

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetGenericReadValue(JNIEnv *, jobject) {
  return (jint)GENERIC_READ;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetGenericWriteValue(JNIEnv *, jobject) {
  TRACE("usbGetGenericWriteValue", "Entry");
  return (jint)GENERIC_WRITE;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbInitPipe(JNIEnv *env, jobject,
                                                                  jobject port, jint access) {
  try {
    return InitPipe(env, g_UsbComm, port, access);
  } catch (...) {
    return -1;
  }
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbReadInputPipe(JNIEnv *env, jobject,
                                                                       jint handle,
                                                                       jbyteArray data) {
  try {
    return ReadInputPipe(env, g_UsbComm, handle, data);
  } catch (...) {
    return -1;
  }
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbWriteOutputPipe(JNIEnv *env, jobject,
                                                                         jint handle,
                                                                         jbyteArray data) {
  try {
    return WriteOutputPipe(env, g_UsbComm, handle, data);
  } catch (...) {
    return (jint)ERROR_GEN_FAILURE;
  }
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbClosePipe(JNIEnv *, jobject, jint handle) {
  try {
    return ClosePipe(g_UsbComm, handle);
  } catch (...) {
    return (jint)ERROR_GEN_FAILURE;
  }
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetBytesAvailable(JNIEnv *, jobject) {
  try {
    TRACE("usbGetBytesAvailable", "Entry");
    return (jint)g_UsbComm.BytesAvailable();
  } catch (...) {
    return 0;
  }
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetCommTimeout(JNIEnv *, jobject,
                                                                        jint handle) {
  return GetCommTimeout(g_UsbComm, handle);
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbSetCommTimeout(
    JNIEnv *, jobject, jint handle, jint readInterval, jint readTotalMultiplier,
    jint readTotalConstant, jint writeTotalMultiplier, jint writeTotalConstant) {
  return SetCommTimeout(g_UsbComm, handle, readInterval, readTotalMultiplier, readTotalConstant,
                        writeTotalMultiplier, writeTotalConstant);
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbPurgeRequest(JNIEnv *, jobject,
                                                                      jint handle) {
  return PurgeRequest(g_UsbComm, handle);
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetLastError(JNIEnv *, jobject) {
  return (jint)GetLastError();
}

JNIEXPORT jstring JNICALL Java_com_velto_printer_UsbPort_usbGetErrorString(JNIEnv *env, jobject,
                                                                           jint code) {
  try {
    return GetErrorString(env, code);
  } catch (...) {
    return nullptr;
  }
}
}
