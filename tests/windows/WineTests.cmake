# The Windows builds of the library and their tests under Wine, as CTest
# tests of the Linux build (label "windows"):
#   windows.build            cross-builds both architectures (tools/windows/build.sh)
#   windows.wine.boot/stop   the Wine prefix <build>/wineprefix: wineboot -i, wineserver -k
#   windows.<arch>.dll       import and export tables of both DLLs
#   windows.<arch>.conformance   the platform conformance cases on the real Win32 API
#   windows.<arch>.jvmstandin    the production DLL in a JVM stand-in, no printer
#   windows.<arch>.seam          the seam build against simulated printers on named pipes
# The 64-bit programs run with Wine's 64-bit loader everywhere; the 32-bit ones
# only where the kernel runs 32-bit programs and 32-bit Wine is installed, and
# are reported as skipped (tools/windows/wine.sh says why) elsewhere.

set(_velto_windows_tools
  i686-w64-mingw32-g++-win32 i686-w64-mingw32-g++-posix i686-w64-mingw32-objdump
  x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump
  wine64 wineserver)
set(_velto_windows_missing "")
foreach(_tool IN LISTS _velto_windows_tools)
  string(MAKE_C_IDENTIFIER "VELTO_TOOL_${_tool}" _var)
  # Debian keeps the 64-bit loader out of PATH.
  find_program(${_var} ${_tool} PATHS /usr/lib/wine)
  if(NOT ${_var})
    list(APPEND _velto_windows_missing ${_tool})
  endif()
endforeach()

set(_velto_windows_default OFF)
if(NOT _velto_windows_missing AND VELTO_SANITIZE STREQUAL "")
  set(_velto_windows_default ON)
endif()
option(VELTO_WINDOWS_TESTS "Cross-build the Windows DLLs and run their tests under Wine"
       ${_velto_windows_default})
if(NOT VELTO_WINDOWS_TESTS)
  if(_velto_windows_missing)
    message(STATUS "Windows tests off: missing ${_velto_windows_missing}")
  endif()
  return()
endif()
if(_velto_windows_missing)
  message(FATAL_ERROR "VELTO_WINDOWS_TESTS needs ${_velto_windows_missing} (Debian, as root: "
                      "dpkg --add-architecture i386; apt-get update; apt-get install "
                      "g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64)")
endif()

set(_velto_tools ${PROJECT_SOURCE_DIR}/tools/windows)
set(_velto_out ${CMAKE_BINARY_DIR}/windows)
set(_velto_prefix ${CMAKE_BINARY_DIR}/wineprefix)
if(VELTO_WERROR)
  set(_velto_werror ON)
else()
  set(_velto_werror OFF)
endif()

add_test(NAME windows.build
  COMMAND bash ${_velto_tools}/build.sh --werror ${_velto_werror} --jobs 2 ${_velto_out})
set_tests_properties(windows.build PROPERTIES
  FIXTURES_SETUP velto_windows_build TIMEOUT 1800 LABELS windows)

add_test(NAME windows.wine.boot COMMAND bash ${_velto_tools}/wine.sh boot ${_velto_prefix})
set_tests_properties(windows.wine.boot PROPERTIES
  FIXTURES_SETUP velto_wine TIMEOUT 600 LABELS windows)
add_test(NAME windows.wine.stop COMMAND bash ${_velto_tools}/wine.sh stop ${_velto_prefix})
set_tests_properties(windows.wine.stop PROPERTIES
  FIXTURES_CLEANUP velto_wine TIMEOUT 120 LABELS windows)

# A Unix path as Wine's drive Z: sees it.
function(_velto_wine_path out path)
  string(REPLACE "/" "\\" _p "${path}")
  set(${out} "Z:${_p}" PARENT_SCOPE)
endfunction()

# Named pipes serve as the conformance device. Closing a handle while a read
# is pending ends that read with ERROR_BROKEN_PIPE on a pipe, where a USB
# printer driver (and the emulation) cancels it with ERROR_OPERATION_ABORTED:
# the case has no pipe equivalent (docs/windows.md).
set(_velto_conformance_filter "-DeviceConformance.ClosingTheHandleAbortsItsPendingRead")

foreach(_arch i686 x86_64)
  if(_arch STREQUAL i686)
    set(_machine --machine=i386)
  else()
    set(_machine --machine=x86_64)
  endif()
  set(_bin ${_velto_out}/${_arch}/bin)
  set(_tests ${_velto_out}/${_arch}-tests/bin)
  _velto_wine_path(_dll ${_bin}/veltousb.dll)
  _velto_wine_path(_seam_dll ${_bin}/veltousb_seam.dll)

  add_test(NAME windows.${_arch}.dll
    COMMAND bash -c "bash '${_velto_tools}/check-dll.sh' ${_arch}-w64-mingw32-objdump '${_bin}/veltousb.dll' production && bash '${_velto_tools}/check-dll.sh' ${_arch}-w64-mingw32-objdump '${_bin}/veltousb_seam.dll' seam")
  set_tests_properties(windows.${_arch}.dll PROPERTIES
    FIXTURES_REQUIRED velto_windows_build LABELS windows)

  add_test(NAME windows.${_arch}.conformance
    COMMAND bash ${_velto_tools}/wine.sh run ${_velto_prefix} ${_machine} ${_tests}/conformance_tests.exe
            --gtest_filter=${_velto_conformance_filter})
  add_test(NAME windows.${_arch}.jvmstandin
    COMMAND bash ${_velto_tools}/wine.sh run ${_velto_prefix} ${_machine} ${_tests}/jvmstandin.exe
            --dll=${_dll} --gtest_filter=NoPrinter.*)
  add_test(NAME windows.${_arch}.seam
    COMMAND bash ${_velto_tools}/wine.sh run ${_velto_prefix} ${_machine} ${_tests}/jvmstandin.exe
            --seam-dll=${_seam_dll} --gtest_filter=Seam*)
  set_tests_properties(windows.${_arch}.conformance windows.${_arch}.jvmstandin
    windows.${_arch}.seam PROPERTIES
    FIXTURES_REQUIRED "velto_windows_build;velto_wine" TIMEOUT 600 LABELS windows)
  if(_arch STREQUAL i686)
    set_tests_properties(windows.${_arch}.conformance windows.${_arch}.jvmstandin
      windows.${_arch}.seam PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endforeach()
