# The program's resources, written once in a resource script and compiled by mingw-w64's windres
# (preprocessed by the mingw compiler, which has the platform's resource headers).
#
# orv_add_resource_script(TARGET SCRIPT INCLUDE_DIRECTORIES DIRECTORY... DEPENDS FILE...) gives
# TARGET the resources of SCRIPT, compiled again when a file it includes or names changes. On
# Windows they are linked into the program file (windres -O coff, CMake's RC language). On the
# host bench the script is compiled to a .res file (windres -O res), which is linked in as bytes
# that the host's resource loader reads as the platform's loader reads a program file
# (host/dialog_framework/resources.h).
if(WIN32)
  function(orv_add_resource_script target script)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "INCLUDE_DIRECTORIES;DEPENDS")
    target_sources(${target} PRIVATE ${script})
    set_property(SOURCE ${script} APPEND PROPERTY INCLUDE_DIRECTORIES ${arg_INCLUDE_DIRECTORIES})
    set_property(SOURCE ${script} APPEND PROPERTY OBJECT_DEPENDS ${arg_DEPENDS})
  endfunction()
  return()
endif()

find_program(ORVANTA_WINDRES x86_64-w64-mingw32-windres)
find_program(ORVANTA_RC_PREPROCESSOR NAMES x86_64-w64-mingw32-gcc x86_64-w64-mingw32-gcc-posix)
if(NOT ORVANTA_WINDRES OR NOT ORVANTA_RC_PREPROCESSOR)
  message(FATAL_ERROR "The program's resource script needs mingw-w64's windres and C compiler: "
                      "run scripts/install-deps (Debian packages binutils-mingw-w64-x86-64 and "
                      "gcc-mingw-w64-x86-64-posix)")
endif()

function(orv_add_resource_script target script)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "INCLUDE_DIRECTORIES;DEPENDS")
  get_filename_component(name ${script} NAME_WE)
  set(compiled ${CMAKE_CURRENT_BINARY_DIR}/${name}.res)
  set(embedded ${CMAKE_CURRENT_BINARY_DIR}/${name}_res.cc)
  set(include_options)
  foreach(directory ${arg_INCLUDE_DIRECTORIES})
    list(APPEND include_options --include-dir=${directory})
  endforeach()
  # The script's own folder holds the files it names (the icon); windres looks there itself.
  add_custom_command(
    OUTPUT ${compiled}
    COMMAND ${ORVANTA_WINDRES} --preprocessor=${ORVANTA_RC_PREPROCESSOR}
            --preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED
            ${include_options} --input-format=rc --output-format=res ${script} ${compiled}
    DEPENDS ${script} ${arg_DEPENDS}
    COMMENT "Compiling the resource script ${name}.rc"
    VERBATIM)
  add_custom_command(
    OUTPUT ${embedded}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${compiled} -DOUTPUT=${embedded}
            -P ${CMAKE_SOURCE_DIR}/cmake/embed_resources.cmake
    DEPENDS ${compiled} ${CMAKE_SOURCE_DIR}/cmake/embed_resources.cmake
    COMMENT "Linking in the compiled resources of ${name}.rc"
    VERBATIM)
  target_sources(${target} PRIVATE ${embedded})
endfunction()
