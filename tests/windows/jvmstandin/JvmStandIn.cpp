#include "JvmStandIn.h"

#include <stdio.h>
#include <string.h>

const CNativeInfo g_aNatives[NATIVE_COUNT] = {
    {"usbGetGenericReadValue", 0}, {"usbGetGenericWriteValue", 0}, {"usbInitPipe", 2},
    {"usbReadInputPipe", 2},       {"usbWriteOutputPipe", 2},      {"usbClosePipe", 1},
    {"usbGetBytesAvailable", 0},   {"usbGetCommTimeout", 1},       {"usbSetCommTimeout", 6},
    {"usbPurgeRequest", 1},        {"usbGetLastError", 0},         {"usbGetErrorString", 1},
};

#if defined(__i386__)
// uintptr_t VeltoCallStdcall(fn, args, nArgs, pnLeft): pushes the arguments
// right to left, calls fn, and stores in *pnLeft how many bytes fn left on
// the stack (a __stdcall function pops its own arguments: 0).
extern "C" uintptr_t VeltoCallStdcall(FARPROC pfn, const uintptr_t *pArgs, unsigned nArgs,
                                      int *pnLeft);
asm(R"(
    .text
    .globl _VeltoCallStdcall
_VeltoCallStdcall:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    pushl %ebx
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    movl %esp, %edi
1:
    testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:
    call *8(%ebp)
    movl %edi, %ecx
    subl %esp, %ecx
    movl %edi, %esp
    movl 20(%ebp), %edx
    movl %ecx, (%edx)
    popl %ebx
    popl %edi
    popl %esi
    popl %ebp
    ret
)");
#endif

// ---- Objects of the stand-in's heap ----

enum { KIND_PORT = 1, KIND_ARRAY, KIND_STRING };

struct CJvmStandIn::CObject {
  explicit CObject(int nKind) : m_nKind(nKind) {}
  virtual ~CObject() = default;
  int m_nKind;
};

struct CJvmStandIn::CPortObject : CObject {
  CPortObject() : CObject(KIND_PORT) {}
  jint m_hReadPort = 0;
  jint m_hWritePort = 0;
  int m_nWrites = 0;
};

struct CJvmStandIn::CArrayObject : CObject {
  CArrayObject() : CObject(KIND_ARRAY) {}
  std::string m_Bytes;
  jsize m_nLength = 0;  // as reported; more than m_Bytes holds for a huge array
};

struct CJvmStandIn::CStringObject : CObject {
  CStringObject() : CObject(KIND_STRING) {}
  std::string m_Text;
};

CJvmStandIn::CJvmStandIn() {
  InitializeCriticalSection(&m_Lock);
  memset(&m_Table, 0, sizeof m_Table);
  m_Table.GetObjectClass = JniGetObjectClass;
  m_Table.GetFieldID = JniGetFieldID;
  m_Table.SetIntField = JniSetIntField;
  m_Table.GetArrayLength = JniGetArrayLength;
  m_Table.GetByteArrayElements = JniGetByteArrayElements;
  m_Table.ReleaseByteArrayElements = JniReleaseByteArrayElements;
  m_Table.SetByteArrayRegion = JniSetByteArrayRegion;
  m_Table.GetByteArrayRegion = JniGetByteArrayRegion;
  m_Table.NewStringUTF = JniNewStringUTF;
  m_EnvBlock.m_Env.functions = &m_Table;
  m_EnvBlock.m_pOwner = this;
}

CJvmStandIn::~CJvmStandIn() {
  Unload();
  for (CObject *p : m_apObjects) delete p;
  for (jbyte *p : m_OutstandingElements) delete[] p;
  DeleteCriticalSection(&m_Lock);
}

bool CJvmStandIn::Load(const std::string &dllPath) {
  m_hModule = LoadLibraryA(dllPath.c_str());
  if (m_hModule == NULL) {
    m_Error = "LoadLibraryA(" + dllPath + ") failed, error " + std::to_string(GetLastError());
    return false;
  }
  for (int i = 0; i < NATIVE_COUNT; ++i) {
    const std::string plain =
        std::string("Java_com_velto_printer_UsbPort_") + g_aNatives[i].m_pszMethod;
    std::vector<std::string> names;
#if defined(__i386__)
    names.push_back("_" + plain + "@" + std::to_string(4 * (2 + g_aNatives[i].m_nJavaArgs)));
#endif
    names.push_back(plain);
    for (const std::string &name : names) {
      m_apfn[i] = GetProcAddress(m_hModule, name.c_str());
      if (m_apfn[i] != NULL) {
        m_aFoundName[i] = name;
        break;
      }
    }
    if (m_apfn[i] == NULL) {
      m_Error = "native " + plain + " not found under the names the JVM tries";
      return false;
    }
  }
  return true;
}

void CJvmStandIn::Unload() {
  if (m_hModule != NULL) FreeLibrary(m_hModule);
  m_hModule = NULL;
  for (FARPROC &pfn : m_apfn) pfn = NULL;
}

uintptr_t CJvmStandIn::Call(ENative eNative, std::initializer_list<uintptr_t> args) {
  uintptr_t a[8] = {reinterpret_cast<uintptr_t>(Env()), reinterpret_cast<uintptr_t>(Self())};
  unsigned n = 2;
  for (uintptr_t v : args) a[n++] = v;
  FARPROC pfn = m_apfn[eNative];
#if defined(__i386__)
  int nLeft = 0;
  uintptr_t nResult = VeltoCallStdcall(pfn, a, n, &nLeft);
  m_nLastStackLeft = nLeft;
  if (nLeft != 0) m_nWorstStackLeft = nLeft;
  return nResult;
#else
  typedef uintptr_t(JNICALL * F2)(uintptr_t, uintptr_t);
  typedef uintptr_t(JNICALL * F3)(uintptr_t, uintptr_t, uintptr_t);
  typedef uintptr_t(JNICALL * F4)(uintptr_t, uintptr_t, uintptr_t, uintptr_t);
  typedef uintptr_t(JNICALL * F8)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                  uintptr_t, uintptr_t);
  m_nLastStackLeft = 0;
  // Through void (*)(void), the generic function pointer type.
  void (*pfnAny)(void) = reinterpret_cast<void (*)(void)>(pfn);
  switch (n) {
    case 2:
      return reinterpret_cast<F2>(pfnAny)(a[0], a[1]);
    case 3:
      return reinterpret_cast<F3>(pfnAny)(a[0], a[1], a[2]);
    case 4:
      return reinterpret_cast<F4>(pfnAny)(a[0], a[1], a[2], a[3]);
    default:
      return reinterpret_cast<F8>(pfnAny)(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
  }
#endif
}

namespace {
// An int argument as the JVM passes it: sign-extended into the slot.
uintptr_t Int(jint n) { return static_cast<uintptr_t>(static_cast<intptr_t>(n)); }
uintptr_t Ref(const void *p) { return reinterpret_cast<uintptr_t>(p); }
jint IntResult(uintptr_t n) { return static_cast<jint>(static_cast<uint32_t>(n)); }
}  // namespace

jint CJvmStandIn::GetGenericReadValue() { return IntResult(Call(NATIVE_GetGenericReadValue, {})); }
jint CJvmStandIn::GetGenericWriteValue() {
  return IntResult(Call(NATIVE_GetGenericWriteValue, {}));
}
jint CJvmStandIn::InitPipe(jobject port, jint access) {
  return IntResult(Call(NATIVE_InitPipe, {Ref(port), Int(access)}));
}
jint CJvmStandIn::ReadInputPipe(jint handle, jbyteArray data) {
  return IntResult(Call(NATIVE_ReadInputPipe, {Int(handle), Ref(data)}));
}
jint CJvmStandIn::WriteOutputPipe(jint handle, jbyteArray data) {
  return IntResult(Call(NATIVE_WriteOutputPipe, {Int(handle), Ref(data)}));
}
jint CJvmStandIn::ClosePipe(jint handle) {
  return IntResult(Call(NATIVE_ClosePipe, {Int(handle)}));
}
jint CJvmStandIn::GetBytesAvailable() { return IntResult(Call(NATIVE_GetBytesAvailable, {})); }
jint CJvmStandIn::GetCommTimeout(jint handle) {
  return IntResult(Call(NATIVE_GetCommTimeout, {Int(handle)}));
}
jint CJvmStandIn::SetCommTimeout(jint handle, jint a, jint b, jint c, jint d, jint e) {
  return IntResult(
      Call(NATIVE_SetCommTimeout, {Int(handle), Int(a), Int(b), Int(c), Int(d), Int(e)}));
}
jint CJvmStandIn::PurgeRequest(jint handle) {
  return IntResult(Call(NATIVE_PurgeRequest, {Int(handle)}));
}
jint CJvmStandIn::GetLastErrorNative() { return IntResult(Call(NATIVE_GetLastError, {})); }
jstring CJvmStandIn::GetErrorString(jint code) {
  return reinterpret_cast<jstring>(Call(NATIVE_GetErrorString, {Int(code)}));
}

// ---- Objects ----

jobject CJvmStandIn::NewPort(jint nInitial) {
  CPortObject *p = new CPortObject;
  p->m_hReadPort = nInitial;
  p->m_hWritePort = nInitial;
  EnterCriticalSection(&m_Lock);
  m_apObjects.push_back(p);
  LeaveCriticalSection(&m_Lock);
  return reinterpret_cast<jobject>(p);
}

jint CJvmStandIn::PortField(jobject port, const char *pszName) {
  CPortObject *p = static_cast<CPortObject *>(Lookup(port, KIND_PORT, "PortField"));
  if (p == NULL) return 0;
  return strcmp(pszName, "hReadPort") == 0 ? p->m_hReadPort : p->m_hWritePort;
}

int CJvmStandIn::PortWrites(jobject port) {
  CPortObject *p = static_cast<CPortObject *>(Lookup(port, KIND_PORT, "PortWrites"));
  return p == NULL ? 0 : p->m_nWrites;
}

jbyteArray CJvmStandIn::NewByteArray(const std::string &bytes) {
  CArrayObject *p = new CArrayObject;
  p->m_Bytes = bytes;
  p->m_nLength = (jsize)bytes.size();
  EnterCriticalSection(&m_Lock);
  m_apObjects.push_back(p);
  LeaveCriticalSection(&m_Lock);
  return reinterpret_cast<jbyteArray>(p);
}

jbyteArray CJvmStandIn::NewHugeByteArray(jsize nLength) {
  jbyteArray array = NewByteArray(std::string());
  reinterpret_cast<CArrayObject *>(array)->m_nLength = nLength;
  return array;
}

std::string CJvmStandIn::Bytes(jbyteArray array) {
  CArrayObject *p = static_cast<CArrayObject *>(Lookup(array, KIND_ARRAY, "Bytes"));
  return p == NULL ? std::string() : p->m_Bytes;
}

std::string CJvmStandIn::Text(jstring str) {
  CStringObject *p = static_cast<CStringObject *>(Lookup(str, KIND_STRING, "Text"));
  return p == NULL ? std::string() : p->m_Text;
}

void CJvmStandIn::FailJni(EJniFn fn, int nCalls) {
  EnterCriticalSection(&m_Lock);
  m_anFail[fn] = nCalls;
  LeaveCriticalSection(&m_Lock);
}

std::vector<std::string> CJvmStandIn::Faults() {
  EnterCriticalSection(&m_Lock);
  std::vector<std::string> faults = m_Faults;
  LeaveCriticalSection(&m_Lock);
  return faults;
}

int CJvmStandIn::OutstandingElements() {
  EnterCriticalSection(&m_Lock);
  int n = (int)m_OutstandingElements.size();
  LeaveCriticalSection(&m_Lock);
  return n;
}

// ---- The JNI functions (called with m_Lock not held) ----

CJvmStandIn *CJvmStandIn::From(JNIEnv *env) { return reinterpret_cast<CEnvBlock *>(env)->m_pOwner; }

void CJvmStandIn::Fault(const std::string &text) { m_Faults.push_back(text); }

// Counts the call and notes a call made under a pending exception. Called
// with m_Lock held.
bool CJvmStandIn::Enter(EJniFn fn, const char *pszName) {
  m_anCalls[fn]++;
  if (m_bExceptionPending) Fault(std::string(pszName) + " called with an exception pending");
  return true;
}

bool CJvmStandIn::ShouldFail(EJniFn fn) {
  if (m_anFail[fn] <= 0) return false;
  m_anFail[fn]--;
  m_bExceptionPending = true;
  return true;
}

CJvmStandIn::CObject *CJvmStandIn::Lookup(const void *p, int nKind, const char *pszWho) {
  for (CObject *pObject : m_apObjects) {
    if (pObject == p) {
      if (pObject->m_nKind == nKind) return pObject;
      break;
    }
  }
  char szText[160];
  snprintf(szText, sizeof szText, "%s: %p is not a live object of the expected kind", pszWho, p);
  Fault(szText);
  return NULL;
}

namespace {
class CStandInLock {
 public:
  explicit CStandInLock(CRITICAL_SECTION *p) : m_p(p) { EnterCriticalSection(m_p); }
  ~CStandInLock() { LeaveCriticalSection(m_p); }
  CStandInLock(const CStandInLock &) = delete;
  CStandInLock &operator=(const CStandInLock &) = delete;

 private:
  CRITICAL_SECTION *m_p;
};
}  // namespace

jclass JNICALL CJvmStandIn::JniGetObjectClass(JNIEnv *env, jobject obj) {
  CJvmStandIn *pJvm = From(env);
  CStandInLock lock(&pJvm->m_Lock);
  pJvm->Enter(JNIFN_GetObjectClass, "GetObjectClass");
  if (pJvm->ShouldFail(JNIFN_GetObjectClass)) return NULL;
  if (pJvm->Lookup(obj, KIND_PORT, "GetObjectClass") == NULL) return NULL;
  return reinterpret_cast<jclass>(&pJvm->m_PortClass);
}

jfieldID JNICALL CJvmStandIn::JniGetFieldID(JNIEnv *env, jclass clazz, const char *name,
                                            const char *sig) {
  CJvmStandIn *pJvm = From(env);
  CStandInLock lock(&pJvm->m_Lock);
  pJvm->Enter(JNIFN_GetFieldID, "GetFieldID");
  if (pJvm->ShouldFail(JNIFN_GetFieldID)) return NULL;
  if (clazz != reinterpret_cast<jclass>(&pJvm->m_PortClass))
    pJvm->Fault("GetFieldID: unknown class");
  if (name == NULL || sig == NULL || strcmp(sig, "I") != 0) {
    pJvm->m_bExceptionPending = true;  // NoSuchFieldError
    return NULL;
  }
  if (strcmp(name, "hReadPort") == 0) return reinterpret_cast<jfieldID>(1);
  if (strcmp(name, "hWritePort") == 0) return reinterpret_cast<jfieldID>(2);
  pJvm->m_bExceptionPending = true;  // NoSuchFieldError
  return NULL;
}

void JNICALL CJvmStandIn::JniSetIntField(JNIEnv *env, jobject obj, jfieldID fieldID, jint val) {
  CJvmStandIn *pJvm = From(env);
  CStandInLock lock(&pJvm->m_Lock);
  pJvm->Enter(JNIFN_SetIntField, "SetIntField");
  CPortObject *p = static_cast<CPortObject *>(pJvm->Lookup(obj, KIND_PORT, "SetIntField"));
  if (p == NULL) return;
  if (fieldID == reinterpret_cast<jfieldID>(1)) {
    p->m_hReadPort = val;
  } else if (fieldID == reinterpret_cast<jfieldID>(2)) {
    p->m_hWritePort = val;
  } else {
    pJvm->Fault("SetIntField: unknown field ID");
    return;
  }
  p->m_nWrites++;
}

jsize JNICALL CJvmStandIn::JniGetArrayLength(JNIEnv *env, jarray array) {
  CJvmStandIn *pJvm = From(env);
  CStandInLock lock(&pJvm->m_Lock);
  pJvm->Enter(JNIFN_GetArrayLength, "GetArrayLength");
  CArrayObject *p = static_cast<CArrayObject *>(pJvm->Lookup(array, KIND_ARRAY, "GetArrayLength"));
  return p == NULL ? 0 : p->m_nLength;
}

jbyte *JNICALL CJvmStandIn::JniGetByteArrayElements(JNIEnv *env, jbyteArray array,
                                                    jboolean *isCopy) {
  CJvmStandIn *pJvm = From(env);
  CStandInLock lock(&pJvm->m_Lock);
  pJvm->Enter(JNIFN_GetByteArrayElements, "GetByteArrayElements");
  if (pJvm->ShouldFail(JNIFN_GetByteArrayElements)) return NULL;
  CArrayObject *p =
      static_cast<CArrayObject *>(pJvm->Lookup(array, KIND_ARRAY, "GetByteArrayElements"));
  if (p == NULL) return NULL;
  if ((size_t)p->m_nLength != p->m_Bytes.size()) {
    pJvm->m_bExceptionPending = true;  // OutOfMemoryError: no room for the copy
    return NULL;
  }
  jbyte *pCopy = new jbyte[p->m_Bytes.size() + 1];
  memcpy(pCopy, p->m_Bytes.data(), p->m_Bytes.size());
  pJvm->m_OutstandingElements.insert(pCopy);
  if (isCopy != NULL) *isCopy = JNI_TRUE;
  return pCopy;
}

void JNICALL CJvmStandIn::JniReleaseByteArrayElements(JNIEnv *env, jbyteArray array, jbyte *elems,
                                                      jint mode) {
  CJvmStandIn *pJvm = From(env);
  CStandInLock lock(&pJvm->m_Lock);
  pJvm->Enter(JNIFN_ReleaseByteArrayElements, "ReleaseByteArrayElements");
  CArrayObject *p =
      static_cast<CArrayObject *>(pJvm->Lookup(array, KIND_ARRAY, "ReleaseByteArrayElements"));
  if (p == NULL) return;
  if (pJvm->m_OutstandingElements.count(elems) == 0) {
    pJvm->Fault("ReleaseByteArrayElements: elements not taken or released twice");
    return;
  }
  if (mode == 0 || mode == JNI_COMMIT) memcpy(&p->m_Bytes[0], elems, p->m_Bytes.size());
  if (mode == 0 || mode == JNI_ABORT) {
    pJvm->m_OutstandingElements.erase(elems);
    delete[] elems;
  }
}

void JNICALL CJvmStandIn::JniSetByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start,
                                                jsize len, const jbyte *buf) {
  CJvmStandIn *pJvm = From(env);
  CStandInLock lock(&pJvm->m_Lock);
  pJvm->Enter(JNIFN_SetByteArrayRegion, "SetByteArrayRegion");
  CArrayObject *p =
      static_cast<CArrayObject *>(pJvm->Lookup(array, KIND_ARRAY, "SetByteArrayRegion"));
  if (p == NULL) return;
  if (start < 0 || len < 0 || (size_t)start + (size_t)len > p->m_Bytes.size()) {
    pJvm->Fault("SetByteArrayRegion: region out of bounds");
    pJvm->m_bExceptionPending = true;  // ArrayIndexOutOfBoundsException
    return;
  }
  memcpy(&p->m_Bytes[(size_t)start], buf, (size_t)len);
}

void JNICALL CJvmStandIn::JniGetByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start,
                                                jsize len, jbyte *buf) {
  CJvmStandIn *pJvm = From(env);
  CStandInLock lock(&pJvm->m_Lock);
  pJvm->Enter(JNIFN_GetByteArrayRegion, "GetByteArrayRegion");
  CArrayObject *p =
      static_cast<CArrayObject *>(pJvm->Lookup(array, KIND_ARRAY, "GetByteArrayRegion"));
  if (p == NULL) return;
  if (start < 0 || len < 0 || (size_t)start + (size_t)len > p->m_Bytes.size()) {
    pJvm->Fault("GetByteArrayRegion: region out of bounds");
    pJvm->m_bExceptionPending = true;  // ArrayIndexOutOfBoundsException
    return;
  }
  memcpy(buf, p->m_Bytes.data() + start, (size_t)len);
}

jstring JNICALL CJvmStandIn::JniNewStringUTF(JNIEnv *env, const char *utf) {
  CJvmStandIn *pJvm = From(env);
  CStandInLock lock(&pJvm->m_Lock);
  pJvm->Enter(JNIFN_NewStringUTF, "NewStringUTF");
  if (pJvm->ShouldFail(JNIFN_NewStringUTF) || utf == NULL) return NULL;
  if (!IsModifiedUtf8(utf)) pJvm->Fault(std::string("NewStringUTF: not modified UTF-8: ") + utf);
  CStringObject *p = new CStringObject;
  p->m_Text = utf;
  pJvm->m_apObjects.push_back(p);
  return reinterpret_cast<jstring>(p);
}

bool IsModifiedUtf8(const char *psz) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(psz);
  while (*p != 0) {
    if (p[0] < 0x80) {
      p += 1;
    } else if ((p[0] & 0xE0) == 0xC0 && (p[1] & 0xC0) == 0x80) {
      if (p[0] < 0xC2 && !(p[0] == 0xC0 && p[1] == 0x80)) return false;  // overlong
      p += 2;
    } else if ((p[0] & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
      if (p[0] == 0xE0 && p[1] < 0xA0) return false;  // overlong
      p += 3;
    } else {
      return false;
    }
  }
  return true;
}
