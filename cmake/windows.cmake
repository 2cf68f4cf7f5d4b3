# The Windows targets (mingw-w64), where platform/ is the platform's own <windows.h>.
#
# Both build the five system folders, the Windows implementation of platform/ (windows/) and
# OrvantaUpdate.exe with its resources. The x86_64 build (the `windows` preset) also builds the
# platform conformance suite, the system's tests that need no simulated device and the tests of
# the dialog as the platform draws it, runs them under wine64 as CTest's emulator, and builds
# the program once more for i686, the device's data model and calling conventions
# (ORVANTA_PROGRAM_ONLY, no tests).
option(ORVANTA_PROGRAM_ONLY "Build only the system folders and the program (the i686 check)" OFF)
enable_language(RC)

# The platform's wide-text build: TEXT() is L"..." and the window calls are their W forms.
add_compile_definitions(UNICODE _UNICODE)
# The platform headers' own names stay out of the way of the system's.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)

# nlohmann-json is headers only: the host's copy serves the target too, through a directory
# that holds nothing else of the host's include tree.
find_path(ORVANTA_NLOHMANN_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)
set(ORVANTA_NLOHMANN_JSON_INCLUDE ${CMAKE_BINARY_DIR}/nlohmann-json-include)
file(MAKE_DIRECTORY ${ORVANTA_NLOHMANN_JSON_INCLUDE})
file(CREATE_LINK ${ORVANTA_NLOHMANN_JSON_DIR}/nlohmann ${ORVANTA_NLOHMANN_JSON_INCLUDE}/nlohmann
     SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE
                           ${ORVANTA_NLOHMANN_JSON_INCLUDE})

foreach(folder platform sim windows flash settings signing update app)
  add_subdirectory(${folder})
endforeach()

# A translation unit that includes <windows.h> before the system headers and hands them wide
# literals, as the device's own code does.
add_library(orv_windows_headers_first OBJECT ${CMAKE_SOURCE_DIR}/tests/platform/windows_headers_first.cc)
target_link_libraries(orv_windows_headers_first PRIVATE orv_platform)
if(TARGET orv_key_table)
  add_dependencies(orv_windows_headers_first orv_key_table)
endif()

if(ORVANTA_PROGRAM_ONLY)
  return()
endif()

include(${CMAKE_SOURCE_DIR}/cmake/wine.cmake)
enable_testing()
include(GoogleTest)
add_subdirectory(tests/platform)

# The system's own tests that need no simulated device and no OpenSSL reference: the settings
# formats and the DER readers over the built-in keys.
add_executable(system_tests_without_device
               ${CMAKE_SOURCE_DIR}/tests/settings/ecc_code_test.cc
               ${CMAKE_SOURCE_DIR}/tests/settings/settings_record_test.cc
               ${CMAKE_SOURCE_DIR}/tests/signing/der_reader_test.cc)
target_include_directories(system_tests_without_device PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(system_tests_without_device PRIVATE orv_settings orv_signing
                                                          orv_windows_test_main)
orv_link_platform(system_tests_without_device orv_windows)
gtest_discover_tests(system_tests_without_device DISCOVERY_TIMEOUT 120)

# The card helpers against the platform's own files, copies and mappings: the update tests'
# temporary device is only its card there (tests/platform/windows_card_device.cc), and the
# stand-in dialog's progress bar a window of the platform.
# Wine's CopyFileExW calls no progress routine (see tests/platform/copy_file_test.cc), so the one
# test that counts the routine's positions is left to the other targets.
add_executable(card_helper_tests
               ${CMAKE_SOURCE_DIR}/tests/update/mapped_file_test.cc
               ${CMAKE_SOURCE_DIR}/tests/update/copy_with_progress_test.cc
               ${CMAKE_SOURCE_DIR}/tests/update/recording_dialog.cc
               ${CMAKE_SOURCE_DIR}/testsupport/stand_in_dialog.cc
               ${CMAKE_SOURCE_DIR}/testsupport/files.cc
               ${CMAKE_SOURCE_DIR}/testsupport/temporary_card.cc
               ${CMAKE_SOURCE_DIR}/tests/platform/windows_card_device.cc)
target_include_directories(card_helper_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(card_helper_tests PRIVATE orv_update orv_windows_test_main)
orv_link_platform(card_helper_tests orv_windows)
gtest_discover_tests(card_helper_tests DISCOVERY_TIMEOUT 120
                     TEST_FILTER "-CopyWithProgressTest.CountsOneOperationResetsTheBarAndRisesTo100"
                     PROPERTIES RESOURCE_LOCK windows_card)

# The simulated chip, its counter, fault plans and device directory over the platform's own
# files and mappings (the same model every host runs), and the handheld's physical-memory
# windows over it.
add_executable(sim_chip_tests
               ${CMAKE_SOURCE_DIR}/tests/sim/nor_chip_test.cc
               ${CMAKE_SOURCE_DIR}/tests/sim/physical_memory_test.cc
               ${CMAKE_SOURCE_DIR}/testsupport/temporary_device.cc
               ${CMAKE_SOURCE_DIR}/testsupport/temporary_card.cc
               ${CMAKE_SOURCE_DIR}/testsupport/files.cc)
target_include_directories(sim_chip_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(sim_chip_tests PRIVATE orv_sim orv_windows_test_main)
orv_link_platform(sim_chip_tests orv_windows_simulated)
# A death test on Windows runs its test once more in a new process, which makes a temporary
# device of its own: the power cuts happen on a device the test never looks at. The cuts are
# judged on the hosts that fork.
gtest_discover_tests(sim_chip_tests DISCOVERY_TIMEOUT 120 TEST_FILTER "-NorChipPowerCutTest.*")

# The headless transcript as the platform's C runtime writes it (binary lines, as on POSIX), and
# real boxes held on screen by the simulated handheld's front end.
add_executable(headless_run_tests ${CMAKE_SOURCE_DIR}/tests/host/transcript_writer_test.cc
                                  ${CMAKE_SOURCE_DIR}/tests/app/windows_held_box_test.cc
                                  ${CMAKE_SOURCE_DIR}/testsupport/files.cc)
target_include_directories(headless_run_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(headless_run_tests PRIVATE orv_windows_test_main)
orv_link_platform(headless_run_tests orv_windows_simulated)
gtest_discover_tests(headless_run_tests DISCOVERY_TIMEOUT 120)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  include(ExternalProject)
  ExternalProject_Add(orv_program_i686
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/i686
    CMAKE_GENERATOR ${CMAKE_GENERATOR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
               -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DORVANTA_PROGRAM_ONLY=ON
               -DORVANTA_KEY_DIR=${ORVANTA_KEY_DIR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  set(ORVANTA_I686_PROGRAM ${CMAKE_BINARY_DIR}/i686/bin/OrvantaUpdate.exe)

  # The bench that runs whole updates (the scenario tests, the orvanta tool) is a program of
  # this machine: a native build of it beside the Windows one runs its rows against this
  # build's OrvantaUpdate.exe (tests/scenarios/windows_rows.cmake). A sibling of the default
  # build's directory, so that the compiler cache serves it.
  ExternalProject_Add(orv_native_bench
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}-native
    CMAKE_GENERATOR ${CMAKE_GENERATOR}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DORVANTA_BUILD_BENCH=OFF
               -DORVANTA_KEY_DIR=${ORVANTA_KEY_DIR}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target scenario_tests orvanta
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  set(ORVANTA_NATIVE_SCENARIO_TESTS ${CMAKE_BINARY_DIR}-native/bin/scenario_tests)

  # The hostile neighbour of the scenario tests as a Windows program, beside the Windows updater.
  add_executable(orvanta_neighbour ${CMAKE_SOURCE_DIR}/tests/scenarios/neighbour/neighbour.cc)
  target_include_directories(orvanta_neighbour PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(orvanta_neighbour PRIVATE orv_settings orv_flash)
  orv_link_platform(orvanta_neighbour orv_windows_simulated)
  set(ORVANTA_WINDOWS_NEIGHBOUR ${CMAKE_BINARY_DIR}/bin/orvanta_neighbour.exe)
  # Every whole-run row but the card-cache test, which runs no updater.
  set(ORVANTA_WINDOWS_ROWS "-CardCacheScenario.*")
  configure_file(${CMAKE_SOURCE_DIR}/tests/scenarios/windows_rows.cmake
                 ${CMAKE_BINARY_DIR}/windows_rows.cmake @ONLY)
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows_rows.cmake)
endif()

# The dialog as the platform draws it, and the program files' resources.
add_subdirectory(tests/app)
