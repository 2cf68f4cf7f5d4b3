# 32-bit Windows: the device's data model and calling conventions (WINAPI is __stdcall here).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ORVANTA_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
