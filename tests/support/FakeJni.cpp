#include "FakeJni.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <mutex>

namespace {

const size_t kMaxCalls = 16384;
const size_t kMaxStrings = 256;
const size_t kMaxStringBytes = 4096;
const size_t kMaxFaults = 64;
const size_t kFaultSize = 160;

enum { KIND_SELF = 0x5E1F0001, KIND_PORT, KIND_CLASS, KIND_ARRAY, KIND_STRING };

struct SObject {
  explicit SObject(int nObjectKind) : nKind(nObjectKind) {}
  int nKind;
};

struct SPort : SObject {
  SPort() : SObject(KIND_PORT) {}
  std::atomic<jint> anValue[2] = {{0}, {0}};  // hReadPort, hWritePort
  std::atomic<int> anWrites[2] = {{0}, {0}};
};

struct SField {
  const char *pszName;
  int nIndex;
};
const SField kFields[2] = {{"hReadPort", 0}, {"hWritePort", 1}};

struct SArray : SObject {
  SArray() : SObject(KIND_ARRAY) {}
  std::vector<jbyte> data;
  std::vector<jbyte> elements;  // the copy GetByteArrayElements hands out
  std::atomic<int> nOut{0};
};

struct SString : SObject {
  SString() : SObject(KIND_STRING) {}
  char szText[kMaxStringBytes];
};

}  // namespace

struct CFakeJni::SImpl {
  struct SEnvBlock {
    JNIEnv env;
    SImpl *pImpl;
  };

  SImpl() : self(KIND_SELF), portClass(KIND_CLASS) {
    memset(&table, 0, sizeof table);
    block.env.functions = &table;
    block.pImpl = this;
    calls.reset(new SFakeJniCall[kMaxCalls]);
    strings.reset(new SString[kMaxStrings]);
    for (auto &n : anCallsOf) n = 0;
    for (auto &f : aFail) f = SFail{0, 0};
  }

  static SImpl *Of(JNIEnv *env) { return reinterpret_cast<SEnvBlock *>(env)->pImpl; }

  // Records the call; false when the call is made with an exception pending.
  bool Enter(int nFn, const void *pTarget, long long nArg1 = 0, long long nArg2 = 0,
             const char *pszText = nullptr) {
    const size_t nIndex = nCalls.fetch_add(1);
    ++anCallsOf[nFn];
    if (nIndex < kMaxCalls) {
      SFakeJniCall &call = calls[nIndex];
      call.nFn = nFn;
      call.pTarget = pTarget;
      call.nArg1 = nArg1;
      call.nArg2 = nArg2;
      call.szText[0] = '\0';
      if (pszText) snprintf(call.szText, sizeof call.szText, "%s", pszText);
    }
    if (bException) {
      ++nCallsAfterFailure;
      Fault("%s called with an exception pending", FakeJniFnName(nFn));
      return false;
    }
    return true;
  }

  bool ShouldFail(int nFn) {
    std::lock_guard<std::mutex> lock(failLock);
    SFail &f = aFail[nFn];
    if (f.nSkip > 0) {
      --f.nSkip;
      return false;
    }
    if (f.nCalls > 0) {
      --f.nCalls;
      bException = true;
      return true;
    }
    return false;
  }

  void Fault(const char *pszFormat, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
  {
    const size_t nIndex = nFaults.fetch_add(1);
    if (nIndex >= kMaxFaults) return;
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(aszFaults[nIndex], kFaultSize, pszFormat, args);
    va_end(args);
  }

  const SObject *Known(const void *p) const {
    if (!p) return nullptr;
    if (p == &self || p == &port || p == &portClass) return static_cast<const SObject *>(p);
    {
      std::lock_guard<std::mutex> lock(arraysLock);
      for (const auto &pArray : arrays) {
        if (p == static_cast<const SObject *>(pArray.get())) return pArray.get();
      }
    }
    for (size_t n = 0; n < kMaxStrings; ++n) {
      if (p == static_cast<const SObject *>(&strings[n])) return &strings[n];
    }
    return nullptr;
  }

  SArray *ArrayOf(jarray array, const char *pszFn) {
    const SObject *pObject = Known(reinterpret_cast<const SObject *>(array));
    if (!pObject || pObject->nKind != KIND_ARRAY) {
      Fault("%s on %s", pszFn, array ? "an unknown object" : "a null array");
      return nullptr;
    }
    return static_cast<SArray *>(const_cast<SObject *>(pObject));
  }

  // The JNI functions.
  static jclass JNICALL GetObjectClass(JNIEnv *env, jobject obj) {
    SImpl *p = Of(env);
    if (!p->Enter(FAKEJNI_GetObjectClass, obj)) return nullptr;
    if (p->ShouldFail(FAKEJNI_GetObjectClass)) return nullptr;
    const SObject *pObject = p->Known(obj);
    if (!pObject) {
      p->Fault("GetObjectClass on %s", obj ? "an unknown object" : "null");
      return nullptr;
    }
    if (pObject != &p->port) {
      p->Fault("GetObjectClass on an object other than the port");
      return nullptr;
    }
    return reinterpret_cast<jclass>(&p->portClass);
  }

  static jfieldID JNICALL GetFieldID(JNIEnv *env, jclass clazz, const char *pszName,
                                     const char *pszSig) {
    SImpl *p = Of(env);
    if (!p->Enter(FAKEJNI_GetFieldID, clazz, 0, 0, pszName)) return nullptr;
    if (p->ShouldFail(FAKEJNI_GetFieldID)) return nullptr;
    if (reinterpret_cast<SObject *>(clazz) != &p->portClass) {
      p->Fault("GetFieldID on a class that is not the port's");
      return nullptr;
    }
    for (const SField &field : kFields) {
      if (pszName && pszSig && strcmp(pszName, field.pszName) == 0 && strcmp(pszSig, "I") == 0) {
        return reinterpret_cast<jfieldID>(const_cast<SField *>(&field));
      }
    }
    // NoSuchFieldError.
    p->bException = true;
    return nullptr;
  }

  static void JNICALL SetIntField(JNIEnv *env, jobject obj, jfieldID fieldId, jint value) {
    SImpl *p = Of(env);
    if (!p->Enter(FAKEJNI_SetIntField, obj, value)) return;
    if (p->ShouldFail(FAKEJNI_SetIntField)) return;
    if (obj != reinterpret_cast<jobject>(static_cast<SObject *>(&p->port))) {
      p->Fault("SetIntField on an object that is not the port");
      return;
    }
    const SField *pField = reinterpret_cast<const SField *>(fieldId);
    if (pField != &kFields[0] && pField != &kFields[1]) {
      p->Fault("SetIntField with an unknown field ID");
      return;
    }
    p->port.anValue[pField->nIndex] = value;
    ++p->port.anWrites[pField->nIndex];
  }

  static jsize JNICALL GetArrayLength(JNIEnv *env, jarray array) {
    SImpl *p = Of(env);
    if (!p->Enter(FAKEJNI_GetArrayLength, array)) return 0;
    if (p->ShouldFail(FAKEJNI_GetArrayLength)) return 0;
    SArray *pArray = p->ArrayOf(array, "GetArrayLength");
    return pArray ? (jsize)pArray->data.size() : 0;
  }

  static jbyte *JNICALL GetByteArrayElements(JNIEnv *env, jbyteArray array, jboolean *pbIsCopy) {
    SImpl *p = Of(env);
    if (!p->Enter(FAKEJNI_GetByteArrayElements, array)) return nullptr;
    if (p->ShouldFail(FAKEJNI_GetByteArrayElements)) return nullptr;  // OutOfMemoryError
    SArray *pArray = p->ArrayOf(array, "GetByteArrayElements");
    if (!pArray) return nullptr;
    if (pArray->nOut.fetch_add(1) != 0) {
      p->Fault("GetByteArrayElements twice on one array (the fake keeps one copy)");
    }
    if (!pArray->data.empty()) {
      memcpy(pArray->elements.data(), pArray->data.data(), pArray->data.size());
    }
    if (pbIsCopy) *pbIsCopy = JNI_TRUE;
    return pArray->elements.data();
  }

  static void JNICALL ReleaseByteArrayElements(JNIEnv *env, jbyteArray array, jbyte *pElements,
                                               jint mode) {
    SImpl *p = Of(env);
    if (!p->Enter(FAKEJNI_ReleaseByteArrayElements, array, mode)) return;
    if (p->ShouldFail(FAKEJNI_ReleaseByteArrayElements)) return;
    SArray *pArray = p->ArrayOf(array, "ReleaseByteArrayElements");
    if (!pArray) return;
    if (pElements != pArray->elements.data() || pArray->nOut <= 0) {
      p->Fault("ReleaseByteArrayElements of elements not taken from this array");
      return;
    }
    if (mode == 0 || mode == JNI_COMMIT) {
      if (!pArray->data.empty()) {
        memcpy(pArray->data.data(), pArray->elements.data(), pArray->data.size());
      }
    }
    if (mode == 0 || mode == JNI_ABORT) --pArray->nOut;
  }

  static void JNICALL SetByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start, jsize len,
                                         const jbyte *pBuffer) {
    SImpl *p = Of(env);
    if (!p->Enter(FAKEJNI_SetByteArrayRegion, array, start, len)) return;
    if (p->ShouldFail(FAKEJNI_SetByteArrayRegion)) return;
    SArray *pArray = p->ArrayOf(array, "SetByteArrayRegion");
    if (!pArray) return;
    const long long nSize = (long long)pArray->data.size();
    if (start < 0 || len < 0 || (long long)start + len > nSize) {
      p->Fault("SetByteArrayRegion(%d, %d) out of bounds of an array of %lld", (int)start, (int)len,
               nSize);
      p->bException = true;  // ArrayIndexOutOfBoundsException
      return;
    }
    if (len > 0 && !pBuffer) {
      p->Fault("SetByteArrayRegion from a null buffer");
      return;
    }
    if (len > 0) memcpy(pArray->data.data() + start, pBuffer, (size_t)len);
  }

  static void JNICALL GetByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start, jsize len,
                                         jbyte *pBuffer) {
    SImpl *p = Of(env);
    if (!p->Enter(FAKEJNI_GetByteArrayRegion, array, start, len)) return;
    if (p->ShouldFail(FAKEJNI_GetByteArrayRegion)) return;
    SArray *pArray = p->ArrayOf(array, "GetByteArrayRegion");
    if (!pArray) return;
    const long long nSize = (long long)pArray->data.size();
    if (start < 0 || len < 0 || (long long)start + len > nSize) {
      p->Fault("GetByteArrayRegion(%d, %d) out of bounds of an array of %lld", (int)start, (int)len,
               nSize);
      p->bException = true;  // ArrayIndexOutOfBoundsException
      return;
    }
    if (len > 0) memcpy(pBuffer, pArray->data.data() + start, (size_t)len);
  }

  static jstring JNICALL NewStringUTF(JNIEnv *env, const char *pszText) {
    SImpl *p = Of(env);
    if (!p->Enter(FAKEJNI_NewStringUTF, nullptr, 0, 0, pszText)) return nullptr;
    if (p->ShouldFail(FAKEJNI_NewStringUTF)) return nullptr;
    if (!pszText) {
      p->Fault("NewStringUTF(NULL)");
      return nullptr;
    }
    if (!IsModifiedUtf8(pszText)) p->Fault("NewStringUTF of text that is not modified UTF-8");
    const size_t nLength = strlen(pszText);
    const size_t nSlot = p->nStrings.fetch_add(1);
    if (nSlot >= kMaxStrings || nLength >= kMaxStringBytes) {
      p->Fault("NewStringUTF beyond the fake's storage");
      p->bException = true;
      return nullptr;
    }
    memcpy(p->strings[nSlot].szText, pszText, nLength + 1);
    return reinterpret_cast<jstring>(static_cast<SObject *>(&p->strings[nSlot]));
  }

  static const char *JNICALL GetStringUTFChars(JNIEnv *env, jstring str, jboolean *pbCopy) {
    const SObject *pObject = Of(env)->Known(reinterpret_cast<const SObject *>(str));
    if (!pObject || pObject->nKind != KIND_STRING) {
      Of(env)->Fault("GetStringUTFChars on %s", str ? "an unknown object" : "a null string");
      return nullptr;
    }
    if (pbCopy) *pbCopy = JNI_FALSE;
    return static_cast<const SString *>(pObject)->szText;
  }
  static void JNICALL ReleaseStringUTFChars(JNIEnv *, jstring, const char *) {}

  struct SFail {
    unsigned nSkip;
    unsigned nCalls;
  };

  SEnvBlock block;
  JNINativeInterface_ table;
  SObject self;
  SPort port;
  SObject portClass;
  // Natives look arrays up while tests make more on other threads.
  mutable std::mutex arraysLock;
  std::vector<std::unique_ptr<SArray>> arrays;
  std::unique_ptr<SString[]> strings;
  std::atomic<size_t> nStrings{0};
  std::unique_ptr<SFakeJniCall[]> calls;
  std::atomic<size_t> nCalls{0};
  std::atomic<size_t> anCallsOf[FAKEJNI_COUNT];
  std::atomic<size_t> nCallsAfterFailure{0};
  std::atomic<bool> bException{false};
  std::mutex failLock;
  SFail aFail[FAKEJNI_COUNT];
  char aszFaults[kMaxFaults][kFaultSize];
  std::atomic<size_t> nFaults{0};
};

const char *FakeJniFnName(int nFn) {
  static const char *const kNames[FAKEJNI_COUNT] = {
      "GetObjectClass",     "GetFieldID",           "SetIntField",
      "GetArrayLength",     "GetByteArrayElements", "ReleaseByteArrayElements",
      "SetByteArrayRegion", "GetByteArrayRegion",   "NewStringUTF"};
  return nFn >= 0 && nFn < FAKEJNI_COUNT ? kNames[nFn] : "?";
}

CFakeJni::CFakeJni() : m_pImpl(new SImpl) {
  JNINativeInterface_ &t = m_pImpl->table;
  t.GetObjectClass = &SImpl::GetObjectClass;
  t.GetFieldID = &SImpl::GetFieldID;
  t.SetIntField = &SImpl::SetIntField;
  t.GetArrayLength = &SImpl::GetArrayLength;
  t.GetByteArrayElements = &SImpl::GetByteArrayElements;
  t.ReleaseByteArrayElements = &SImpl::ReleaseByteArrayElements;
  t.SetByteArrayRegion = &SImpl::SetByteArrayRegion;
  t.GetByteArrayRegion = &SImpl::GetByteArrayRegion;
  t.NewStringUTF = &SImpl::NewStringUTF;
  t.GetStringUTFChars = &SImpl::GetStringUTFChars;
  t.ReleaseStringUTFChars = &SImpl::ReleaseStringUTFChars;
}

CFakeJni::~CFakeJni() = default;

JNIEnv *CFakeJni::Env() { return &m_pImpl->block.env; }

jobject CFakeJni::Self() { return reinterpret_cast<jobject>(&m_pImpl->self); }

jobject CFakeJni::Port() {
  return reinterpret_cast<jobject>(static_cast<SObject *>(&m_pImpl->port));
}

static int FieldIndex(const char *pszName) {
  for (const SField &field : kFields) {
    if (strcmp(pszName, field.pszName) == 0) return field.nIndex;
  }
  return -1;
}

jint CFakeJni::PortField(const char *pszName) const {
  const int n = FieldIndex(pszName);
  return n < 0 ? 0 : m_pImpl->port.anValue[n].load();
}

int CFakeJni::PortFieldWrites(const char *pszName) const {
  const int n = FieldIndex(pszName);
  return n < 0 ? 0 : m_pImpl->port.anWrites[n].load();
}

jbyteArray CFakeJni::NewByteArray(const std::vector<jbyte> &bytes) {
  std::unique_ptr<SArray> pArray(new SArray);
  pArray->data = bytes;
  pArray->elements.assign(bytes.size() + 1, 0);
  SObject *pObject = pArray.get();
  std::lock_guard<std::mutex> lock(m_pImpl->arraysLock);
  m_pImpl->arrays.push_back(std::move(pArray));
  return reinterpret_cast<jbyteArray>(pObject);
}

jbyteArray CFakeJni::NewByteArray(size_t nLength, jbyte fill) {
  return NewByteArray(std::vector<jbyte>(nLength, fill));
}

std::vector<jbyte> CFakeJni::Bytes(jbyteArray array) const {
  const SObject *pObject = m_pImpl->Known(reinterpret_cast<const SObject *>(array));
  if (!pObject || pObject->nKind != KIND_ARRAY) return {};
  return static_cast<const SArray *>(pObject)->data;
}

void CFakeJni::Fail(int nFn, unsigned nSkip, unsigned nCalls) {
  std::lock_guard<std::mutex> lock(m_pImpl->failLock);
  m_pImpl->aFail[nFn] = SImpl::SFail{nSkip, nCalls};
}

size_t CFakeJni::CallCount() const { return m_pImpl->nCalls; }

size_t CFakeJni::CallCount(int nFn) const { return m_pImpl->anCallsOf[nFn]; }

std::vector<SFakeJniCall> CFakeJni::Calls() const {
  const size_t n = std::min(m_pImpl->nCalls.load(), kMaxCalls);
  return std::vector<SFakeJniCall>(m_pImpl->calls.get(), m_pImpl->calls.get() + n);
}

size_t CFakeJni::CallsAfterFailure() const { return m_pImpl->nCallsAfterFailure; }

bool CFakeJni::ExceptionPending() const { return m_pImpl->bException; }

std::vector<std::string> CFakeJni::Faults() const {
  const size_t n = std::min(m_pImpl->nFaults.load(), kMaxFaults);
  std::vector<std::string> faults(m_pImpl->aszFaults, m_pImpl->aszFaults + n);
  if (m_pImpl->nFaults > kMaxFaults) faults.emplace_back("(more faults)");
  return faults;
}

int CFakeJni::OutstandingElements() const {
  int n = 0;
  std::lock_guard<std::mutex> lock(m_pImpl->arraysLock);
  for (const auto &pArray : m_pImpl->arrays) n += pArray->nOut;
  return n;
}

std::string CFakeJni::StringBytes(jstring str) const {
  const SObject *pObject = m_pImpl->Known(reinterpret_cast<const SObject *>(str));
  if (!pObject || pObject->nKind != KIND_STRING) return "<not a string>";
  return static_cast<const SString *>(pObject)->szText;
}

size_t CFakeJni::StringCount() const { return std::min(m_pImpl->nStrings.load(), kMaxStrings); }

bool IsModifiedUtf8(const char *psz) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(psz);
  while (*p) {
    const unsigned b0 = *p;
    if (b0 < 0x80) {
      ++p;
    } else if ((b0 & 0xE0) == 0xC0) {
      if ((p[1] & 0xC0) != 0x80) return false;
      const unsigned v = ((b0 & 0x1F) << 6) | (p[1] & 0x3F);
      if (v != 0 && v < 0x80) return false;
      p += 2;
    } else if ((b0 & 0xF0) == 0xE0) {
      if ((p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return false;
      const unsigned v = ((b0 & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
      if (v < 0x800) return false;
      p += 3;
    } else {
      return false;
    }
  }
  return true;
}

static size_t LineNumberSpan(const std::string &szLine, size_t *pnStart) {
  for (size_t nOpen = szLine.find('('); nOpen != std::string::npos;
       nOpen = szLine.find('(', nOpen + 1)) {
    size_t n = nOpen + 1;
    while (n < szLine.size() && szLine[n] >= '0' && szLine[n] <= '9') ++n;
    if (n > nOpen + 1 && n + 1 < szLine.size() && szLine[n] == ')' && szLine[n + 1] == ' ') {
      *pnStart = nOpen;
      return n + 1 - nOpen;
    }
  }
  return 0;
}

std::string WithoutLineNumber(const std::string &szLine) {
  size_t nStart = 0;
  const size_t nSpan = LineNumberSpan(szLine, &nStart);
  if (nSpan == 0) return szLine;
  return szLine.substr(0, nStart) + szLine.substr(nStart + nSpan);
}

std::vector<std::string> WithoutLineNumbers(const std::vector<std::string> &lines) {
  std::vector<std::string> result;
  result.reserve(lines.size());
  for (const auto &line : lines) result.push_back(WithoutLineNumber(line));
  return result;
}

int LineNumberOf(const std::string &szLine) {
  size_t nStart = 0;
  const size_t nSpan = LineNumberSpan(szLine, &nStart);
  if (nSpan == 0) return -1;
  return atoi(szLine.c_str() + nStart + 1);
}
