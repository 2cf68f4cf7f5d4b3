# 64-bit Windows, whose programs run under wine64 (CTest's emulator, see cmake/wine.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVANTA_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
