# Read by CTest in the windows build: the whole-run rows of the scenario tests (a native build of
# them beside this one), each run against this build's OrvantaUpdate.exe under wine64 through
# scripts/windows-updater, with the Windows neighbour beside it, and judged as on the host. A row
# that cannot run there says why and counts as skipped. Listed when CTest starts, so that the
# rows follow the host's table.
set(program "@ORVANTA_NATIVE_SCENARIO_TESTS@")
if(NOT EXISTS "${program}")
  add_test(WindowsRows.NotBuilt "${CMAKE_COMMAND}" -E echo "${program} is not built")
  set_tests_properties(WindowsRows.NotBuilt PROPERTIES WILL_FAIL ON)
  return()
endif()
execute_process(COMMAND "${program}" --gtest_list_tests "--gtest_filter=@ORVANTA_WINDOWS_ROWS@"
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot list the rows of ${program}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ ].*\\.)$")
    set(suite "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^  ([^ #]+)")
    set(name "Windows/${suite}${CMAKE_MATCH_1}")
    add_test("${name}" "${program}" "--gtest_filter=${suite}${CMAKE_MATCH_1}")
    set_tests_properties("${name}" PROPERTIES
      ENVIRONMENT "ORVANTA_UPDATE_PLATFORM=windows;ORVANTA_UPDATE_PROGRAM=@CMAKE_SOURCE_DIR@/scripts/windows-updater;ORVANTA_WINDOWS_BUILD=@CMAKE_BINARY_DIR@;ORVANTA_NEIGHBOUR_PROGRAM=@ORVANTA_WINDOWS_NEIGHBOUR@"
      # One updater at a time, taking turns with the dialog tests: the prefix is one handheld
      # with one desktop, where a second instance gives way to the first.
      RESOURCE_LOCK windows_desktop
      TIMEOUT 900
      SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
  endif()
endforeach()
