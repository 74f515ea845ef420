# What users get, in <build>/dist (tools/package.sh copies it to dist/):
#   veltousb-<v>.jar        UsbPort, UsbPrinter, the loader and the natives of
#                           every platform built: linux-x86_64 always, and the two
#                           Windows DLLs when VELTO_WINDOWS_DLL_DIR names their build
#   veltousb-sim-<v>.jar    the simulator classes and their native binding
#   *-sources.jar, *-javadoc.jar, *.pom     for Maven and Gradle
#   veltousb-<v>-windows.zip                both DLLs, for users who load them themselves
# Target veltousb_jars (part of the default build) makes the two jars, which
# the JVM tests use; target veltousb_dist makes everything.

set(VELTO_WINDOWS_DLL_DIR "" CACHE PATH
  "Output folder of tools/windows/build.sh (<dir>/i686/bin and <dir>/x86_64/bin hold veltousb.dll): \
its DLLs go into the dist jar and zip")

set(VELTO_DIST_DIR ${CMAKE_BINARY_DIR}/dist)
set(_v ${PROJECT_VERSION})
set(_stage ${CMAKE_CURRENT_BINARY_DIR}/natives)
set(_dist_script ${CMAKE_CURRENT_LIST_DIR}/StageNatives.cmake)
file(MAKE_DIRECTORY ${VELTO_DIST_DIR})

# velto_stage(<out var> <root> <name> <platform> FILES <files in load order>
#             [ORIGIN <file names>] [STRIP <tool>] [DEPENDS <targets>])
function(velto_stage out root name platform)
  cmake_parse_arguments(S "" "STRIP" "FILES;ORIGIN;DEPENDS" ${ARGN})
  set(list ${root}/com/velto/printer/natives/${platform}/${name}.list)
  # '|' separates the files: a ';' would split the argument.
  string(REPLACE ";" "|" files "${S_FILES}")
  string(REPLACE ";" "|" origin "${S_ORIGIN}")
  add_custom_command(OUTPUT ${list}
    COMMAND ${CMAKE_COMMAND} -DOUT=${root} -DNAME=${name} -DVERSION=${_v} -DPLATFORM=${platform}
      "-DFILES=${files}" "-DORIGIN_FILES=${origin}" "-DSTRIP=${S_STRIP}" -P ${_dist_script}
    DEPENDS ${S_FILES} ${S_DEPENDS} ${_dist_script}
    COMMENT "Natives of ${name} for ${platform}"
    VERBATIM)
  set(${out} ${list} PARENT_SCOPE)
endfunction()

# Linux: the module and its emulation side by side, the module finding it
# through $ORIGIN; the simulator's binding alone in its jar: it resolves the
# emulation to the one the module brought into the process.
velto_stage(_main_linux ${_stage}/main veltousb linux-x86_64
  FILES $<TARGET_FILE:win32emu> $<TARGET_FILE:veltousb>
  ORIGIN $<TARGET_FILE_NAME:veltousb> STRIP ${CMAKE_STRIP} DEPENDS win32emu veltousb)
velto_stage(_sim_linux ${_stage}/sim veltosim_jni linux-x86_64
  FILES $<TARGET_FILE:veltosim_jni>
  ORIGIN $<TARGET_FILE_NAME:veltosim_jni> STRIP ${CMAKE_STRIP} DEPENDS veltosim_jni)
set(_main_lists ${_main_linux})

set(_windows_dlls "")
if(VELTO_WINDOWS_DLL_DIR)
  foreach(pair "i686;windows-x86" "x86_64;windows-x86_64")
    list(GET pair 0 arch)
    list(GET pair 1 platform)
    find_program(VELTO_STRIP_${arch} ${arch}-w64-mingw32-strip)
    set(dll ${VELTO_WINDOWS_DLL_DIR}/${arch}/bin/veltousb.dll)
    velto_stage(_list ${_stage}/main veltousb ${platform} FILES ${dll} STRIP ${VELTO_STRIP_${arch}})
    list(APPEND _main_lists ${_list})
    list(APPEND _windows_dlls ${_stage}/main/com/velto/printer/natives/${platform}/veltousb.dll)
  endforeach()
else()
  message(STATUS "dist: veltousb-${_v}.jar without Windows DLLs (tools/package.sh builds them and "
                 "sets VELTO_WINDOWS_DLL_DIR)")
endif()

# velto_jar(<artifact> <build jar target> <module> <natives root> <lists>)
function(velto_jar artifact target module root lists)
  set(VELTO_MODULE ${module})
  set(VELTO_TITLE ${artifact})
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${artifact}.manifest)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/dist/manifest.txt.in ${manifest} @ONLY)
  get_target_property(build_jar ${target} JAR_FILE)
  set(jar ${VELTO_DIST_DIR}/${artifact}-${_v}.jar)
  add_custom_command(OUTPUT ${jar}
    COMMAND ${CMAKE_COMMAND} -E copy ${build_jar} ${jar}
    COMMAND ${Java_JAR_EXECUTABLE} --update --file ${jar} --manifest ${manifest} -C ${root} com
    DEPENDS ${target} ${build_jar} ${manifest} ${lists}
    COMMENT "dist/${artifact}-${_v}.jar"
    VERBATIM)
endfunction()

velto_jar(veltousb veltousb_java com.velto.printer ${_stage}/main "${_main_lists}")
velto_jar(veltousb-sim veltousb_sim_java com.velto.printer.sim ${_stage}/sim "${_sim_linux}")
set(VELTO_DIST_JARS ${VELTO_DIST_DIR}/veltousb-${_v}.jar ${VELTO_DIST_DIR}/veltousb-sim-${_v}.jar)
add_custom_target(veltousb_jars ALL DEPENDS ${VELTO_DIST_JARS})

# Sources, Javadoc and POM of each jar.
set(_src ${CMAKE_CURRENT_SOURCE_DIR}/src/main/java)
set(_extras "")
function(velto_extras artifact package description dependencies)
  set(sources ${ARGN})
  set(VELTO_ARTIFACT ${artifact})
  set(VELTO_DESCRIPTION ${description})
  set(VELTO_POM_DEPENDENCIES ${dependencies})
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/dist/pom.xml.in
    ${VELTO_DIST_DIR}/${artifact}-${_v}.pom @ONLY)
  set(relative "")
  foreach(f IN LISTS sources)
    file(RELATIVE_PATH r ${_src} ${f})
    list(APPEND relative ${r})
  endforeach()
  set(src_jar ${VELTO_DIST_DIR}/${artifact}-${_v}-sources.jar)
  add_custom_command(OUTPUT ${src_jar}
    COMMAND ${Java_JAR_EXECUTABLE} --create --file ${src_jar} ${relative}
    WORKING_DIRECTORY ${_src}
    DEPENDS ${sources}
    COMMENT "dist/${artifact}-${_v}-sources.jar"
    VERBATIM)
  set(doc ${CMAKE_CURRENT_BINARY_DIR}/javadoc/${artifact})
  set(doc_jar ${VELTO_DIST_DIR}/${artifact}-${_v}-javadoc.jar)
  set(werror "")
  if(VELTO_WERROR)
    set(werror -Werror)
  endif()
  add_custom_command(OUTPUT ${doc_jar}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${doc}
    COMMAND ${Java_JAVADOC_EXECUTABLE} -quiet -notimestamp --release 17 -encoding UTF-8 ${werror}
      -Xdoclint:all,-missing -windowtitle "${artifact} ${_v}" -d ${doc} -sourcepath ${_src} ${package}
    COMMAND ${Java_JAR_EXECUTABLE} --create --file ${doc_jar} -C ${doc} .
    DEPENDS ${sources}
    COMMENT "dist/${artifact}-${_v}-javadoc.jar"
    VERBATIM)
  set(_extras ${_extras} ${src_jar} ${doc_jar} PARENT_SCOPE)
endfunction()

velto_extras(veltousb com.velto.printer
  "Byte-level access to one USB printer from Java, with its native library for Windows (32 and 64 bit) and Linux"
  "" ${VELTO_MAIN_JAVA_SOURCES})
velto_extras(veltousb-sim com.velto.printer.sim
  "Simulated USB printers for testing Java drivers of veltousb without hardware (Linux)"
  "  <dependencies>
    <dependency>
      <groupId>com.velto</groupId>
      <artifactId>veltousb</artifactId>
      <version>${_v}</version>
    </dependency>
  </dependencies>
" ${VELTO_SIM_JAVA_SOURCES})

if(_windows_dlls)
  set(_zipdir ${CMAKE_CURRENT_BINARY_DIR}/windows-zip)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/dist/windows-README.txt.in ${_zipdir}/README.txt @ONLY)
  set(_zip ${VELTO_DIST_DIR}/veltousb-${_v}-windows.zip)
  add_custom_command(OUTPUT ${_zip}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${_stage}/main/com/velto/printer/natives ${_zipdir}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_zipdir}/linux-x86_64
    COMMAND ${CMAKE_COMMAND} -E rm -f ${_zipdir}/windows-x86/veltousb.list ${_zipdir}/windows-x86_64/veltousb.list
    COMMAND ${CMAKE_COMMAND} -E tar cf ${_zip} --format=zip
      README.txt windows-x86/veltousb.dll windows-x86_64/veltousb.dll
    WORKING_DIRECTORY ${_zipdir}
    DEPENDS ${_main_lists}
    COMMENT "dist/veltousb-${_v}-windows.zip"
    VERBATIM)
  list(APPEND _extras ${_zip})
endif()
add_custom_target(veltousb_dist DEPENDS veltousb_jars ${_extras})
