# The installed tree (`cmake --install`) and its Debian package (CPack, `scripts/package`):
#
#   bin/orvanta                                   the bench tool
#   libexec/orvanta/OrvantaUpdate                 the updater it runs
#   share/orvanta/development-keys/               the key pairs the updater was built with
#   share/man/man1/orvanta.1.gz                   its manual page
#   share/bash-completion/completions/orvanta     its bash completion
#   share/doc/orvanta/README.md, copyright, changelog.gz
#
# The tool finds the updater and the keys relative to its own directory (installation.h).
install(TARGETS orvanta RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS OrvantaUpdate RUNTIME DESTINATION ${ORVANTA_INSTALL_UPDATER_DIR})
# A stripped tree (the package's) keeps no compiler notes either: .comment and .note, as
# Debian's own packages.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(program bin/orvanta ${ORVANTA_INSTALL_UPDATER_DIR}/OrvantaUpdate)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${program}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/cmake/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The changelog (its version the project's; a native package, so changelog.gz), compressed as Debian's tools do (-9, no
# name or time stamp inside).
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/changelog
               @ONLY)
find_program(ORVANTA_PACKAGING_GZIP gzip REQUIRED)
execute_process(COMMAND ${ORVANTA_PACKAGING_GZIP} -9nc ${CMAKE_BINARY_DIR}/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(TARGET orvanta_docs)
  get_target_property(manual_page orvanta_docs ORVANTA_MANUAL_PAGE)
  get_target_property(bash_completion orvanta_docs ORVANTA_BASH_COMPLETION)
  install(FILES ${manual_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${bash_completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME orvanta)
endif()
# The private development keys are published and prove nothing, so they ship for the demo.
# A build with its own key directory (a product's) installs no keys at all: its private
# halves stay with the package signer.
file(REAL_PATH "${ORVANTA_KEY_DIR}" key_dir)
file(REAL_PATH "${CMAKE_SOURCE_DIR}/keys/dev" development_key_dir)
if(key_dir STREQUAL development_key_dir)
  install(DIRECTORY ${development_key_dir}/ DESTINATION ${ORVANTA_INSTALL_KEY_DIR}
          FILES_MATCHING PATTERN "README" PATTERN "key[0-3].pem" PATTERN "key[0-3].der")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvanta)
# The updater's version (the project's); the tool's own is in `orvanta --version`.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware updater of the Orvanta handheld on a simulated device")
# Lines of at most 80 characters, as Debian's description rules ask.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "OrvantaUpdate, the one-shot firmware updater of the Orvanta handheld, built\n"
       "for a host platform over POSIX and a simulated device (NOR flash chip,\n"
       "counter, power line, storage card), and the bench tool that creates such\n"
       "devices, signs and verifies update packages, injects faults and runs the\n"
       "updater. The development keys it ships are published and not for products.")
set(CPACK_PACKAGE_CONTACT "OrvantaUpdate developers <orvanta-update@orvanta.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# Depends: the shared libraries the two programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
