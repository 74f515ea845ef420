// Skeleton of the twelve natives; the transfer and session paths follow.
#include "jni/UsbPort.h"

#include "jni/Trace.h"
#include "usbcomm/UsbComm.h"

extern "C" {

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetGenericReadValue(JNIEnv *, jobject) {
  return (jint)GENERIC_READ;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetGenericWriteValue(JNIEnv *, jobject) {
  TRACE("usbGetGenericWriteValue", "Entry");
  return (jint)GENERIC_WRITE;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbInitPipe(JNIEnv *, jobject, jobject, jint) {
  return -1;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbReadInputPipe(JNIEnv *, jobject, jint,
                                                                       jbyteArray) {
  return -1;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbWriteOutputPipe(JNIEnv *, jobject, jint,
                                                                         jbyteArray) {
  return (jint)ERROR_INVALID_HANDLE;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbClosePipe(JNIEnv *, jobject, jint) {
  return (jint)ERROR_INVALID_HANDLE;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetBytesAvailable(JNIEnv *, jobject) {
  return 0;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetCommTimeout(JNIEnv *, jobject, jint) {
  return (jint)ERROR_INVALID_HANDLE;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbSetCommTimeout(JNIEnv *, jobject, jint,
                                                                        jint, jint, jint, jint,
                                                                        jint) {
  return (jint)ERROR_INVALID_HANDLE;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbPurgeRequest(JNIEnv *, jobject, jint) {
  return (jint)ERROR_INVALID_HANDLE;
}

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetLastError(JNIEnv *, jobject) {
  return (jint)GetLastError();
}

JNIEXPORT jstring JNICALL Java_com_velto_printer_UsbPort_usbGetErrorString(JNIEnv *env, jobject,
                                                                           jint) {
  return env->NewStringUTF("");
}
}
