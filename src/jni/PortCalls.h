// What the natives do on one printer: the twelve natives on g_UsbComm, the
// printer natives on the session a Java call names. Each returns what its
// native returns; none raises a Java exception.
#pragma once

#include <jni.h>

class CUsbComm;

jint InitPipe(JNIEnv *env, CUsbComm &comm, jobject port, jint access);
jint ReadInputPipe(JNIEnv *env, CUsbComm &comm, jint handle, jbyteArray data);
jint WriteOutputPipe(JNIEnv *env, CUsbComm &comm, jint handle, jbyteArray data);
// The bytes the printer took of data[offset, offset + length) within
// timeoutMs (a Java interrupt ends the wait too), the last error then
// WAIT_TIMEOUT or ERROR_OPERATION_ABORTED when cut short, else 0 or the
// write's error; -1 when it failed (not timed out) before the printer took
// anything.
jint WriteTimed(JNIEnv *env, CUsbComm &comm, jint handle, jbyteArray data, jint offset, jint length,
                jint timeoutMs);
jint ClosePipe(CUsbComm &comm, jint handle);
jint GetCommTimeout(CUsbComm &comm, jint handle);
jint SetCommTimeout(CUsbComm &comm, jint handle, jint readInterval, jint readTotalMultiplier,
                    jint readTotalConstant, jint writeTotalMultiplier, jint writeTotalConstant);
jint PurgeRequest(CUsbComm &comm, jint handle);
jstring GetErrorString(JNIEnv *env, jint code);
