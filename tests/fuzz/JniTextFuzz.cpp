// Text handed to the JVM: any UTF-16 units encoded as modified UTF-8, and
// any ANSI text (system messages) made into a Java string.
//
// Input: a mode byte, then the units (little-endian pairs; mode bit 0) or the
// ANSI text. Mode bit 1 makes the conversion fail, bit 2 an allocation: the
// first one after skipping (mode >> 3) & 3 of them.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "jni/JniText.h"
#include "velto/simprinter.h"

namespace {

// Decodes modified UTF-8 into UTF-16 units; false unless every byte belongs
// to a one-, two- or three-byte form, shortest except C0 80 for U+0000.
bool DecodeModifiedUtf8(const std::string &sz, std::u16string *pUnits) {
  for (size_t n = 0; n < sz.size();) {
    const unsigned char c = sz[n];
    const size_t nForm = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
    if (nForm == 0 || c == 0 || n + nForm > sz.size()) return false;
    unsigned nUnit = nForm == 1 ? c : nForm == 2 ? c & 0x1F : c & 0x0F;
    for (size_t k = 1; k < nForm; ++k) {
      const unsigned char t = sz[n + k];
      if ((t & 0xC0) != 0x80) return false;
      nUnit = nUnit << 6 | (t & 0x3F);
    }
    if ((nForm == 2 && nUnit < 0x80 && nUnit != 0) || (nForm == 3 && nUnit < 0x800)) return false;
    pUnits->push_back((char16_t)nUnit);
    n += nForm;
  }
  return true;
}

void CheckEncoding(const uint8_t *pData, size_t nSize) {
  std::vector<WCHAR> units(nSize / 2);
  for (size_t n = 0; n < units.size(); ++n)
    units[n] = (WCHAR)(pData[2 * n] | pData[2 * n + 1] << 8);
  const size_t nBytes = ModifiedUtf8Length(units.data(), units.size());
  std::vector<char> out(nBytes + 1);  // exactly the documented room
  EncodeModifiedUtf8(units.data(), units.size(), out.data());
  const std::string szOut(out.data());
  std::u16string decoded;
  FUZZ_CHECK(szOut.size() == nBytes && DecodeModifiedUtf8(szOut, &decoded));
  FUZZ_CHECK(decoded == std::u16string(units.begin(), units.end()));
}

std::vector<std::string> g_strings;

jstring JNICALL NewStringUtf(JNIEnv *, const char *pszUtf) {
  SimClearInjections();  // failures are the module's, not the VM's
  g_strings.emplace_back(pszUtf);
  return (jstring)&g_strings;
}

void CheckAnsi(uint8_t nMode, const uint8_t *pData, size_t nSize) {
  // System text: no NUL inside, terminated behind its length.
  std::string szText((const char *)pData, nSize);
  szText.resize(strlen(szText.c_str()));
  const int nLength = (int)szText.size();
  std::u16string wanted(nLength, u'\0');
  if (nLength > 0) {
    MultiByteToWideChar(CP_ACP, 0, szText.data(), nLength, (WCHAR *)&wanted[0], nLength);
  }
  std::u16string fallback;
  for (unsigned char c : szText) fallback.push_back(c < 0x80 ? c : u'?');

  JNINativeInterface_ functions;
  memset(&functions, 0, sizeof functions);
  functions.NewStringUTF = NewStringUtf;
  JNIEnv env;
  env.functions = &functions;
  g_strings.clear();
  std::vector<char> buffer(szText.c_str(), szText.c_str() + nLength + 1);
  if (nMode & 2) SimInjectFailure(SIM_FN_MultiByteToWideChar, 0, 1, ERROR_INVALID_PARAMETER);
  if (nMode & 4) SimInjectFailure(SIM_FN_ALLOC, (nMode >> 3) & 3, 1, ERROR_NOT_ENOUGH_MEMORY);
  jstring str = NewStringFromAnsi(&env, buffer.data(), nLength);
  SimClearInjections();

  std::u16string decoded;
  FUZZ_CHECK(str != nullptr && g_strings.size() == 1 && DecodeModifiedUtf8(g_strings[0], &decoded));
  FUZZ_CHECK(decoded == wanted || ((nMode & 6) && decoded == fallback));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
  if (nSize < 1) return 0;
  SimReset();
  if (pData[0] & 1) {
    CheckEncoding(pData + 1, nSize - 1);
  } else {
    CheckAnsi(pData[0], pData + 1, nSize - 1);
  }
  return 0;
}
