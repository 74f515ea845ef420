// A stand-in for the Java VM on Windows: it loads the library with
// LoadLibrary, finds each native under the names the JVM tries, and calls it
// with a hand-built JNIEnv whose function table holds only the functions the
// library may use (every other slot is null, so the use of any other one
// crashes the test at once).
//
// On 32-bit Windows the JVM looks a native up as "_Java_<class>_<method>@N"
// and then as "Java_<class>_<method>", N being the bytes of its arguments,
// and calls it as __stdcall. Every call here goes through a small assembly
// routine that pushes the arguments the way the JVM does and measures how
// many bytes the native left on the stack: a native whose argument size
// differs from its Java signature is caught. That frame has no unwind
// information either, like the JVM's own frames: a C++ exception leaving a
// native ends the process instead of passing quietly.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <jni.h>
#include <stdint.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

enum ENative {
  NATIVE_GetGenericReadValue,
  NATIVE_GetGenericWriteValue,
  NATIVE_InitPipe,
  NATIVE_ReadInputPipe,
  NATIVE_WriteOutputPipe,
  NATIVE_ClosePipe,
  NATIVE_GetBytesAvailable,
  NATIVE_GetCommTimeout,
  NATIVE_SetCommTimeout,
  NATIVE_PurgeRequest,
  NATIVE_GetLastError,
  NATIVE_GetErrorString,
  NATIVE_COUNT
};

struct CNativeInfo {
  const char *m_pszMethod;
  int m_nJavaArgs;  // arguments after the JNIEnv and the receiver, each one int or reference
};
extern const CNativeInfo g_aNatives[NATIVE_COUNT];

// The JNI functions of the table that are not null.
enum EJniFn {
  JNIFN_GetObjectClass,
  JNIFN_GetFieldID,
  JNIFN_SetIntField,
  JNIFN_GetArrayLength,
  JNIFN_GetByteArrayElements,
  JNIFN_ReleaseByteArrayElements,
  JNIFN_SetByteArrayRegion,
  JNIFN_GetByteArrayRegion,
  JNIFN_NewStringUTF,
  JNIFN_COUNT
};

class CJvmStandIn {
 public:
  CJvmStandIn();
  ~CJvmStandIn();
  CJvmStandIn(const CJvmStandIn &) = delete;
  CJvmStandIn &operator=(const CJvmStandIn &) = delete;

  // LoadLibraryA and the lookup of all twelve natives; false (with the
  // reason in Error()) when the module or a native is missing.
  bool Load(const std::string &dllPath);
  // FreeLibrary: the module's static objects are destroyed, a later Load
  // starts afresh.
  void Unload();
  HMODULE Module() const { return m_hModule; }
  const std::string &Error() const { return m_Error; }
  // The name under which the native was found.
  const std::string &FoundName(ENative eNative) const { return m_aFoundName[eNative]; }

  // Calls the native with the JNIEnv and the receiver first. Arguments are
  // ints or references, passed as the JVM passes them.
  uintptr_t Call(ENative eNative, std::initializer_list<uintptr_t> args);
  // Bytes the last call left on the stack (32-bit; 0 when the native
  // popped exactly its arguments), and the largest difference seen.
  int LastStackLeft() const { return m_nLastStackLeft; }
  int WorstStackLeft() const { return m_nWorstStackLeft; }
  void ForgetStackLeft() { m_nWorstStackLeft = 0; }

  // The natives, typed.
  jint GetGenericReadValue();
  jint GetGenericWriteValue();
  jint InitPipe(jobject port, jint access);
  jint ReadInputPipe(jint handle, jbyteArray data);
  jint WriteOutputPipe(jint handle, jbyteArray data);
  jint ClosePipe(jint handle);
  jint GetBytesAvailable();
  jint GetCommTimeout(jint handle);
  jint SetCommTimeout(jint handle, jint a, jint b, jint c, jint d, jint e);
  jint PurgeRequest(jint handle);
  jint GetLastErrorNative();
  jstring GetErrorString(jint code);

  // ---- The JNI side ----
  JNIEnv *Env() { return &m_EnvBlock.m_Env; }
  jobject Self() { return reinterpret_cast<jobject>(&m_Self); }
  // A com.velto.printer.UsbPort-like object with the int fields hReadPort
  // and hWritePort, both holding nInitial.
  jobject NewPort(jint nInitial);
  jint PortField(jobject port, const char *pszName);
  int PortWrites(jobject port);
  jbyteArray NewByteArray(const std::string &bytes);
  // An array that reports nLength elements but holds only the given ones
  // (a JVM's array of that length, without the memory behind it).
  jbyteArray NewHugeByteArray(jsize nLength);
  std::string Bytes(jbyteArray array);
  std::string Text(jstring str);

  // The next nCalls calls of fn fail as in a JVM: null or 0 result, an
  // exception pending.
  void FailJni(EJniFn fn, int nCalls = 1);
  int JniCalls(EJniFn fn) const { return m_anCalls[fn]; }
  bool ExceptionPending() const { return m_bExceptionPending; }
  void ClearException() { m_bExceptionPending = false; }
  // Every misuse a JVM would not forgive: a call with an exception pending,
  // an unknown object, an index out of bounds, elements released twice or
  // never, text that is not modified UTF-8.
  std::vector<std::string> Faults();
  int OutstandingElements();

 private:
  struct CObject;
  struct CPortObject;
  struct CArrayObject;
  struct CStringObject;

  static CJvmStandIn *From(JNIEnv *env);
  bool Enter(EJniFn fn, const char *pszName);
  bool ShouldFail(EJniFn fn);
  void Fault(const std::string &text);
  CObject *Lookup(const void *p, int nKind, const char *pszWho);

  static jclass JNICALL JniGetObjectClass(JNIEnv *env, jobject obj);
  static jfieldID JNICALL JniGetFieldID(JNIEnv *env, jclass clazz, const char *name,
                                        const char *sig);
  static void JNICALL JniSetIntField(JNIEnv *env, jobject obj, jfieldID fieldID, jint val);
  static jsize JNICALL JniGetArrayLength(JNIEnv *env, jarray array);
  static jbyte *JNICALL JniGetByteArrayElements(JNIEnv *env, jbyteArray array, jboolean *isCopy);
  static void JNICALL JniReleaseByteArrayElements(JNIEnv *env, jbyteArray array, jbyte *elems,
                                                  jint mode);
  static void JNICALL JniSetByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start, jsize len,
                                            const jbyte *buf);
  static void JNICALL JniGetByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start, jsize len,
                                            jbyte *buf);
  static jstring JNICALL JniNewStringUTF(JNIEnv *env, const char *utf);

  struct CEnvBlock {
    JNIEnv m_Env;  // first: the JNIEnv pointer is the block's address
    CJvmStandIn *m_pOwner;
  };

  HMODULE m_hModule = NULL;
  std::string m_Error;
  FARPROC m_apfn[NATIVE_COUNT] = {};
  std::string m_aFoundName[NATIVE_COUNT];
  int m_nLastStackLeft = 0;
  int m_nWorstStackLeft = 0;

  JNINativeInterface_ m_Table;
  CEnvBlock m_EnvBlock;
  int m_Self = 0;
  int m_PortClass = 0;

  CRITICAL_SECTION m_Lock;
  std::vector<CObject *> m_apObjects;
  std::vector<std::string> m_Faults;
  int m_anCalls[JNIFN_COUNT] = {};
  int m_anFail[JNIFN_COUNT] = {};
  bool m_bExceptionPending = false;
  std::set<jbyte *> m_OutstandingElements;
};

// Whether psz is the modified UTF-8 that NewStringUTF takes.
bool IsModifiedUtf8(const char *psz);
