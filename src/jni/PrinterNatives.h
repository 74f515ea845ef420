// The natives of com.velto.printer.internal.NativePrinters: the printers
// listed with their identity, and a session per opened printer. Exported
// beside the twelve natives of UsbPort, which keep serving the default
// printer.
#pragma once

#include <jni.h>

#ifdef __cplusplus
extern "C" {
#endif

// Every printer as PRINTER_FIELDS strings in a row (see PrinterNatives.cpp).
JNIEXPORT jobjectArray JNICALL Java_com_velto_printer_internal_NativePrinters_list(JNIEnv *env,
                                                                                   jclass cls);
JNIEXPORT jlong JNICALL Java_com_velto_printer_internal_NativePrinters_openSession(
    JNIEnv *env, jclass cls, jstring interfacePath, jint usbType);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_freeSession(JNIEnv *env,
                                                                                  jclass cls,
                                                                                  jlong session);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_initPipe(
    JNIEnv *env, jclass cls, jlong session, jobject port, jint access);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_read(JNIEnv *env, jclass cls,
                                                                           jlong session,
                                                                           jint handle,
                                                                           jbyteArray data);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_write(JNIEnv *env, jclass cls,
                                                                            jlong session,
                                                                            jint handle,
                                                                            jbyteArray data);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_closePipe(JNIEnv *env,
                                                                                jclass cls,
                                                                                jlong session,
                                                                                jint handle);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_getCommTimeout(JNIEnv *env,
                                                                                     jclass cls,
                                                                                     jlong session,
                                                                                     jint handle);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_setCommTimeout(
    JNIEnv *env, jclass cls, jlong session, jint handle, jint readInterval,
    jint readTotalMultiplier, jint readTotalConstant, jint writeTotalMultiplier,
    jint writeTotalConstant);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_purge(JNIEnv *env, jclass cls,
                                                                            jlong session,
                                                                            jint handle);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_bytesAvailable(JNIEnv *env,
                                                                                     jclass cls,
                                                                                     jlong session);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_lastError(JNIEnv *env,
                                                                                jclass cls);

// The USB printer class requests (jni/ClassRequests.h).
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_portStatus(JNIEnv *env,
                                                                                 jclass cls,
                                                                                 jlong session,
                                                                                 jint handle);
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_deviceId(
    JNIEnv *env, jclass cls, jlong session, jint handle, jbyteArray data);

// Writes that report what went out.
JNIEXPORT jint JNICALL Java_com_velto_printer_internal_NativePrinters_writeTimed(
    JNIEnv *env, jclass cls, jlong session, jint handle, jbyteArray data, jint offset, jint length,
    jint timeoutMs);

#ifdef __cplusplus
}
#endif
