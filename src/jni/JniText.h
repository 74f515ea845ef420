// Java strings from the system's 8-bit text.
#pragma once

#include <jni.h>

#include "velto/platform.h"

// Number of bytes (terminator not counted) that the modified UTF-8 form of
// the UTF-16 units pwszText[0..nUnits) takes: NUL and U+0080..U+07FF take
// two, U+0800 and up three, and each half of a surrogate pair is encoded on
// its own.
size_t ModifiedUtf8Length(const WCHAR *pwszText, size_t nUnits);
// Writes that form into pszOut, which must hold ModifiedUtf8Length() + 1
// bytes, and terminates it.
void EncodeModifiedUtf8(const WCHAR *pwszText, size_t nUnits, char *pszOut);

// NewStringUTF of nLength bytes of text in the ANSI code page, converted to
// the modified UTF-8 that the JVM expects. When the conversion cannot be
// made, bytes outside 7-bit ASCII are replaced by '?' in pszText itself, so
// the JVM never sees invalid text.
jstring NewStringFromAnsi(JNIEnv *env, char *pszText, int nLength);
