// The twelve natives of com.velto.printer.UsbPort: the module's only exports.
#pragma once

#include <jni.h>

#ifdef __cplusplus
extern "C" {
#endif

JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetGenericReadValue(JNIEnv *env,
                                                                             jobject self);
JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetGenericWriteValue(JNIEnv *env,
                                                                              jobject self);
JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbInitPipe(JNIEnv *env, jobject self,
                                                                  jobject port, jint access);
JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbReadInputPipe(JNIEnv *env, jobject self,
                                                                       jint handle,
                                                                       jbyteArray data);
JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbWriteOutputPipe(JNIEnv *env, jobject self,
                                                                         jint handle,
                                                                         jbyteArray data);
JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbClosePipe(JNIEnv *env, jobject self,
                                                                   jint handle);
JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetBytesAvailable(JNIEnv *env,
                                                                           jobject self);
JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetCommTimeout(JNIEnv *env, jobject self,
                                                                        jint handle);
JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbSetCommTimeout(
    JNIEnv *env, jobject self, jint handle, jint readInterval, jint readTotalMultiplier,
    jint readTotalConstant, jint writeTotalMultiplier, jint writeTotalConstant);
JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbPurgeRequest(JNIEnv *env, jobject self,
                                                                      jint handle);
JNIEXPORT jint JNICALL Java_com_velto_printer_UsbPort_usbGetLastError(JNIEnv *env, jobject self);
JNIEXPORT jstring JNICALL Java_com_velto_printer_UsbPort_usbGetErrorString(JNIEnv *env,
                                                                           jobject self, jint code);

#ifdef __cplusplus
}
#endif
