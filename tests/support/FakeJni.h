// A stand-in JNIEnv for calling the natives without a Java VM.
//
// A hand-built JNI function table that provides only the functions the
// library is allowed to use (every other slot stays null, so a call of any
// other function crashes the test at once). It records every call, can make
// any of them fail the way a VM does (null result, exception pending), and
// notes every misuse a VM would not forgive: a call with an exception
// pending, a null or unknown object, a region out of bounds, elements
// released twice or never, text that is not modified UTF-8.
//
// Recording works in storage reserved up front, so a native under test never
// makes the fake allocate (allocation failure is injected into the module).
// The recording may be used from several threads at once; arrays and objects
// are made before the natives run.
#pragma once

#include <jni.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

enum EFakeJniFn {
  FAKEJNI_GetObjectClass,
  FAKEJNI_GetFieldID,
  FAKEJNI_SetIntField,
  FAKEJNI_GetArrayLength,
  FAKEJNI_GetByteArrayElements,
  FAKEJNI_ReleaseByteArrayElements,
  FAKEJNI_SetByteArrayRegion,
  FAKEJNI_GetByteArrayRegion,
  FAKEJNI_NewStringUTF,
  FAKEJNI_COUNT
};

const char *FakeJniFnName(int nFn);

struct SFakeJniCall {
  int nFn;
  const void *pTarget;  // the object, class or array the call was about
  long long nArg1;      // SetIntField: value; Set/GetByteArrayRegion: start; Release: mode
  long long nArg2;      // Set/GetByteArrayRegion: length
  char szText[64];      // GetFieldID: name; NewStringUTF: start of the text
};

class CFakeJni {
 public:
  CFakeJni();
  ~CFakeJni();
  CFakeJni(const CFakeJni &) = delete;
  CFakeJni &operator=(const CFakeJni &) = delete;

  JNIEnv *Env();
  // The UsbPort receiver (never used by the natives) and the port object,
  // whose class declares the int fields hReadPort and hWritePort.
  jobject Self();
  jobject Port();
  // Current value of a port field, and how often SetIntField wrote it.
  jint PortField(const char *pszName) const;
  int PortFieldWrites(const char *pszName) const;

  // Byte arrays live as long as the fake.
  jbyteArray NewByteArray(const std::vector<jbyte> &bytes);
  jbyteArray NewByteArray(size_t nLength, jbyte fill);
  std::vector<jbyte> Bytes(jbyteArray array) const;

  // The calls of nFn after the next nSkip ones fail, nCalls of them: a null
  // (or 0) result and an exception pending. For the void functions only the
  // exception is raised, and nothing is stored.
  void Fail(int nFn, unsigned nSkip = 0, unsigned nCalls = 1);

  size_t CallCount() const;
  size_t CallCount(int nFn) const;
  std::vector<SFakeJniCall> Calls() const;
  // Calls made after the first failed one (none should be).
  size_t CallsAfterFailure() const;

  bool ExceptionPending() const;
  // Every misuse noted so far; empty when the natives behaved.
  std::vector<std::string> Faults() const;
  // Elements taken with GetByteArrayElements and not released.
  int OutstandingElements() const;

  // Text of a string made by NewStringUTF, as the bytes passed.
  std::string StringBytes(jstring str) const;
  size_t StringCount() const;

 private:
  struct SImpl;
  std::unique_ptr<SImpl> m_pImpl;
};

// Whether the zero-terminated psz is the modified UTF-8 that NewStringUTF
// takes: one- to three-byte forms only, no overlong forms other than C0 80
// for NUL.
bool IsModifiedUtf8(const char *psz);

// A trace line "tag(123) text\n" with its source line dropped: "tag text\n".
// Lines without one (hex dumps) come back unchanged.
std::string WithoutLineNumber(const std::string &szLine);
std::vector<std::string> WithoutLineNumbers(const std::vector<std::string> &lines);
// Source line number of a trace line, or -1.
int LineNumberOf(const std::string &szLine);
