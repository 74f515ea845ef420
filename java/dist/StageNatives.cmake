# cmake -P script: copies one library's natives for one platform into the
# jar's layout, <OUT>/com/velto/printer/natives/<PLATFORM>/, and writes the
# list the loader reads, <NAME>.list: "# <NAME> <VERSION> <PLATFORM>", then
# "<sha-256> <size> <file>" per file in load order (dependencies first).
#
#   -DOUT= -DNAME= -DVERSION= -DPLATFORM= -DFILES=a|b   ('|'-separated, in load order)
#   -DORIGIN_FILES=b   names of the files whose run path becomes $ORIGIN (ELF only)
#   -DSTRIP=<strip>    strips the copies when given
cmake_policy(VERSION 3.20)
string(REPLACE "|" ";" FILES "${FILES}")
string(REPLACE "|" ";" ORIGIN_FILES "${ORIGIN_FILES}")
set(dir ${OUT}/com/velto/printer/natives/${PLATFORM})
file(MAKE_DIRECTORY ${dir})
set(list "# ${NAME} ${VERSION} ${PLATFORM}\n")
foreach(src IN LISTS FILES)
  get_filename_component(name ${src} NAME)
  set(dst ${dir}/${name})
  file(COPY_FILE ${src} ${dst})
  if(name IN_LIST ORIGIN_FILES)
    # The build tree's run path points into the build folder; the jar's
    # copies find their dependencies beside them, wherever extracted.
    file(RPATH_SET FILE ${dst} NEW_RPATH "$ORIGIN")
  endif()
  if(STRIP)
    execute_process(COMMAND ${STRIP} --strip-unneeded ${dst} COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(SHA256 ${dst} sha)
  file(SIZE ${dst} size)
  string(APPEND list "${sha} ${size} ${name}\n")
endforeach()
file(WRITE ${dir}/${NAME}.list "${list}")
