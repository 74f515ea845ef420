#include "jni/JniText.h"

#include <stdlib.h>

#include <memory>

namespace {

struct CFreeDeleter {
  void operator()(void *p) const { free(p); }
};

bool IsPlainAscii(const char *pszText, int nLength) {
  for (int n = 0; n < nLength; ++n) {
    const unsigned char c = (unsigned char)pszText[n];
    if (c == 0 || c >= 0x80) return false;
  }
  return true;
}

jstring NewStringReplacingNonAscii(JNIEnv *env, char *pszText, int nLength) {
  for (int n = 0; n < nLength; ++n) {
    if ((unsigned char)pszText[n] >= 0x80) pszText[n] = '?';
  }
  return env->NewStringUTF(pszText);
}

}  // namespace

size_t ModifiedUtf8Length(const WCHAR *pwszText, size_t nUnits) {
  size_t nBytes = 0;
  for (size_t n = 0; n < nUnits; ++n) {
    const WCHAR w = pwszText[n];
    nBytes += (w != 0 && w < 0x80) ? 1 : (w < 0x800 ? 2 : 3);
  }
  return nBytes;
}

void EncodeModifiedUtf8(const WCHAR *pwszText, size_t nUnits, char *pszOut) {
  unsigned char *p = (unsigned char *)pszOut;
  for (size_t n = 0; n < nUnits; ++n) {
    const unsigned w = pwszText[n];
    if (w != 0 && w < 0x80) {
      *p++ = (unsigned char)w;
    } else if (w < 0x800) {
      *p++ = (unsigned char)(0xC0 | (w >> 6));
      *p++ = (unsigned char)(0x80 | (w & 0x3F));
    } else {
      *p++ = (unsigned char)(0xE0 | (w >> 12));
      *p++ = (unsigned char)(0x80 | ((w >> 6) & 0x3F));
      *p++ = (unsigned char)(0x80 | (w & 0x3F));
    }
  }
  *p = '\0';
}

jstring NewStringFromAnsi(JNIEnv *env, char *pszText, int nLength) {
  if (nLength <= 0) return env->NewStringUTF("");
  if (IsPlainAscii(pszText, nLength)) return env->NewStringUTF(pszText);

  const int nUnits = MultiByteToWideChar(CP_ACP, 0, pszText, nLength, nullptr, 0);
  if (nUnits <= 0) return NewStringReplacingNonAscii(env, pszText, nLength);
  std::unique_ptr<WCHAR, CFreeDeleter> pwszWide((WCHAR *)malloc(sizeof(WCHAR) * (size_t)nUnits));
  if (!pwszWide ||
      MultiByteToWideChar(CP_ACP, 0, pszText, nLength, pwszWide.get(), nUnits) != nUnits) {
    return NewStringReplacingNonAscii(env, pszText, nLength);
  }
  const size_t nBytes = ModifiedUtf8Length(pwszWide.get(), (size_t)nUnits);
  std::unique_ptr<char, CFreeDeleter> pszUtf8((char *)malloc(nBytes + 1));
  if (!pszUtf8) return NewStringReplacingNonAscii(env, pszText, nLength);
  EncodeModifiedUtf8(pwszWide.get(), (size_t)nUnits, pszUtf8.get());
  return env->NewStringUTF(pszUtf8.get());
}
