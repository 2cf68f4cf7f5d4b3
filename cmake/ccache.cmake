# Compiles through ccache when it is installed, so that a second build of the same sources (a
# new clone, another preset's rebuild, the next CI run on this machine) takes little time. The
# cache stays where ccache keeps it by default, outside the clone; paths under the source tree
# are hashed relative to it, so that clones in different folders share their results. A
# launcher the user chose (CMAKE_<LANG>_COMPILER_LAUNCHER) is kept; ORVANTA_CCACHE=OFF
# compiles without.
option(ORVANTA_CCACHE "Compile through ccache when it is installed" ON)
find_program(ORVANTA_CCACHE_PROGRAM ccache)
mark_as_advanced(ORVANTA_CCACHE_PROGRAM)
if(ORVANTA_CCACHE AND ORVANTA_CCACHE_PROGRAM)
  foreach(language C CXX)
    if(NOT CMAKE_${language}_COMPILER_LAUNCHER)
      set(CMAKE_${language}_COMPILER_LAUNCHER
          ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=true
          ${ORVANTA_CCACHE_PROGRAM})
    endif()
  endforeach()
endif()
