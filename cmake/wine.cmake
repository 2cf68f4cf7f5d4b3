# Programs of an x86_64 Windows build run under wine64, as CTest's emulator. The build keeps
# its own Wine prefix (BUILD/wineprefix), made on first use, with no display: BUILD/wine-run
# is the emulator.
find_program(ORVANTA_WINE64 wine64 PATHS /usr/lib/wine REQUIRED)
find_program(ORVANTA_WINESERVER wineserver64 wineserver PATHS /usr/lib/wine REQUIRED)
set(ORVANTA_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
# BUILD/wine-x11-run runs one on an X display (a virtual one when none is set), in a prefix of
# its own: the dialog drawn as a user sees it.
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-x11-run.in ${CMAKE_BINARY_DIR}/wine-x11-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
