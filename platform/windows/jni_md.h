/* Machine-dependent JNI definitions for Windows (32- and 64-bit), used with
 * the JDK 17 jni.h. The JVM calls natives with the stdcall convention on
 * 32-bit Windows (on 64-bit Windows there is one convention and __stdcall is
 * ignored). jint is int rather than long: both are 32 bits wide on Windows,
 * and int keeps the library's printf formats the same as on Linux. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#ifndef _WIN32
#error "platform/windows/jni_md.h is for Windows builds only"
#endif

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#ifdef __cplusplus
static_assert(sizeof(jint) == 4 && sizeof(jlong) == 8 && sizeof(jbyte) == 1, "JNI widths");
#else
typedef char velto_jni_widths_check[(sizeof(jint) == 4 && sizeof(jlong) == 8) ? 1 : -1];
#endif

#endif
