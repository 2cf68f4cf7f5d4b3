# Debian's build flags, as dpkg-buildflags gives them with every hardening feature: fortified
# functions, the stack protector, format checks, read-only relocations bound at start. The
# optimisation and debug flags stay the build type's, and the file-prefix map is left out (the
# programs name no source file).
find_program(ORVANTA_DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
function(orv_debian_flags variable out)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                          ${ORVANTA_DPKG_BUILDFLAGS} --get ${variable}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^(-g|-O[0-9s]?|-ffile-prefix-map=.*)$")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()
orv_debian_flags(CPPFLAGS cppflags)
orv_debian_flags(CXXFLAGS cxxflags)
orv_debian_flags(LDFLAGS ldflags)
add_compile_options(${cppflags} ${cxxflags})
add_link_options(${ldflags})
