# JNI headers for the Windows builds: the JDK 17 jni.h (from the build host's
# JDK: jni.h itself is the same on every platform) with our own Windows
# jni_md.h from platform/windows. Headers of JDK 24 and later define JNICALL
# as empty in jni.h itself, which would turn the 32-bit natives into cdecl
# functions the JVM cannot call: they are refused.
file(GLOB _velto_jdk17 LIST_DIRECTORIES true /usr/lib/jvm/java-17-openjdk-*/include)
set(VELTO_JNI_INCLUDE_DIR "" CACHE PATH "Directory of the JDK 17 jni.h (found under /usr/lib/jvm when empty)")
if(NOT VELTO_JNI_INCLUDE_DIR)
  if(NOT _velto_jdk17)
    message(FATAL_ERROR "No JDK 17 headers under /usr/lib/jvm (Debian: openjdk-17-jdk-headless); "
                        "or set VELTO_JNI_INCLUDE_DIR to the directory of a JDK 17 jni.h")
  endif()
  list(GET _velto_jdk17 0 _velto_jdk17_first)
  set(VELTO_JNI_INCLUDE_DIR ${_velto_jdk17_first} CACHE PATH
      "Directory of the JDK 17 jni.h (found under /usr/lib/jvm when empty)" FORCE)
endif()
if(NOT EXISTS ${VELTO_JNI_INCLUDE_DIR}/jni.h)
  message(FATAL_ERROR "No jni.h in VELTO_JNI_INCLUDE_DIR=${VELTO_JNI_INCLUDE_DIR}")
endif()
file(STRINGS ${VELTO_JNI_INCLUDE_DIR}/jni.h _velto_jni_bad REGEX "JNI_VERSION_24|^#define[ \t]+JNICALL")
if(_velto_jni_bad)
  message(FATAL_ERROR "${VELTO_JNI_INCLUDE_DIR}/jni.h is from JDK 24 or later (it defines JNICALL "
                      "itself); use the JDK 17 headers")
endif()
if(EXISTS ${VELTO_JNI_INCLUDE_DIR}/jni_md.h)
  message(FATAL_ERROR "${VELTO_JNI_INCLUDE_DIR} holds a jni_md.h of its own, which jni.h would "
                      "prefer to ours; point VELTO_JNI_INCLUDE_DIR at a JDK's include/ directory")
endif()

# jni.h includes "jni_md.h": not found beside it, it comes from our directory.
add_library(velto_jni_headers INTERFACE)
target_include_directories(velto_jni_headers SYSTEM INTERFACE
  ${CMAKE_CURRENT_LIST_DIR}/../platform/windows ${VELTO_JNI_INCLUDE_DIR})

# veltousb.dll (not libveltousb.dll), with the test programs beside it in
# bin/, where LoadLibrary and Wine find them.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
