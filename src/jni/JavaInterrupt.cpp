#include "jni/JavaInterrupt.h"

bool JavaThreadInterrupted(void *pContext) {
  JNIEnv *env = static_cast<JNIEnv *>(pContext);
  const DWORD dwError = GetLastError();
  // Every call that may raise is checked before the next one (-Xcheck:jni
  // insists); a lookup that fails ends the asking.
  const auto ok = [env](const void *pResult) {
    return pResult != nullptr && env->ExceptionCheck() == JNI_FALSE;
  };
  bool bInterrupted = false;
  jobject thread = nullptr;
  jclass threadClass = env->FindClass("java/lang/Thread");
  if (ok(threadClass)) {
    const jmethodID current =
        env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;");
    const jmethodID isInterrupted =
        ok(current) ? env->GetMethodID(threadClass, "isInterrupted", "()Z") : nullptr;
    if (ok(isInterrupted)) thread = env->CallStaticObjectMethod(threadClass, current);
    if (ok(thread)) bInterrupted = env->CallBooleanMethod(thread, isInterrupted) == JNI_TRUE;
  }
  // The native goes on with the request: nothing may stay pending. Out of
  // memory here is no reason to end it.
  if (env->ExceptionCheck()) {
    env->ExceptionClear();
    bInterrupted = false;
  }
  if (thread != nullptr) env->DeleteLocalRef(thread);
  if (threadClass != nullptr) env->DeleteLocalRef(threadClass);
  SetLastError(dwError);
  return bInterrupted;
}
