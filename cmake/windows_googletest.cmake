# GoogleTest for a Windows target: Debian ships no mingw build of it, but its source package
# (/usr/src/googletest) builds for any target. Only the tests of the x86_64 build need it.
if(ORVANTA_PROGRAM_ONLY)
  return()
endif()
set(ORVANTA_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
if(NOT EXISTS ${ORVANTA_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest's sources are missing from ${ORVANTA_GOOGLETEST_SOURCE}: "
                      "run scripts/install-deps (Debian package googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${ORVANTA_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GTest::gtest and GTest::gtest_main come with it.
