# Shared part of the MinGW-w64 toolchain files; VELTO_MINGW_TRIPLET is set
# by the including file.
set(CMAKE_SYSTEM_NAME Windows)

# The "-win32" thread model for the library: it needs no libwinpthread DLL
# beside it. The Windows test programs need std::mutex (GoogleTest), which
# only the "-posix" model has; they are built in a build of their own with
# -DVELTO_MINGW_THREADS=posix and linked statically.
set(VELTO_MINGW_THREADS win32 CACHE STRING "MinGW-w64 thread model: win32 (the library) or posix (test programs)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELTO_MINGW_THREADS)
foreach(_lang C CXX)
  if(_lang STREQUAL "C")
    set(_tool gcc)
  else()
    set(_tool g++)
  endif()
  set(_names ${VELTO_MINGW_TRIPLET}-${_tool}-${VELTO_MINGW_THREADS})
  if(VELTO_MINGW_THREADS STREQUAL "win32")
    list(APPEND _names ${VELTO_MINGW_TRIPLET}-${_tool})
  endif()
  find_program(VELTO_MINGW_${_lang}_${VELTO_MINGW_THREADS} NAMES ${_names} REQUIRED)
  set(CMAKE_${_lang}_COMPILER ${VELTO_MINGW_${_lang}_${VELTO_MINGW_THREADS}})
endforeach()
find_program(CMAKE_RC_COMPILER NAMES ${VELTO_MINGW_TRIPLET}-windres)
find_program(VELTO_MINGW_OBJDUMP NAMES ${VELTO_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VELTO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The GCC runtime and libstdc++ go into each module, so that the DLL imports
# only KERNEL32, SETUPAPI, CFGMGR32 and the C runtime. --kill-at exports the stdcall
# natives under their plain JNI names: the JVM looks for
# "_Java_<class>_<method>@N" and then "Java_<class>_<method>", while GNU ld
# would export "Java_<class>_<method>@N", which matches neither.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -Wl,--kill-at")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -Wl,--kill-at")
# Test programs are fully static, so that Wine needs nothing beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
