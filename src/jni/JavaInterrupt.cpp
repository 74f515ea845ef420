#include "jni/JavaInterrupt.h"

bool JavaThreadInterrupted(void *pContext) {
  JNIEnv *env = static_cast<JNIEnv *>(pContext);
  const DWORD dwError = GetLastError();
  bool bInterrupted = false;
  jclass threadClass = env->FindClass("java/lang/Thread");
  if (threadClass != nullptr) {
    const jmethodID current =
        env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;");
    const jmethodID isInterrupted =
        current != nullptr ? env->GetMethodID(threadClass, "isInterrupted", "()Z") : nullptr;
    jobject thread =
        isInterrupted != nullptr ? env->CallStaticObjectMethod(threadClass, current) : nullptr;
    if (thread != nullptr) {
      bInterrupted = env->CallBooleanMethod(thread, isInterrupted) == JNI_TRUE;
      env->DeleteLocalRef(thread);
    }
    env->DeleteLocalRef(threadClass);
  }
  // The native goes on with JNI calls (the array copy): nothing may stay
  // pending. Out of memory here is no reason to end the request.
  if (env->ExceptionCheck()) {
    env->ExceptionClear();
    bInterrupted = false;
  }
  SetLastError(dwError);
  return bInterrupted;
}
