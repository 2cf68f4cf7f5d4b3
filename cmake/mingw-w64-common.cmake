# Cross-builds for Windows with Debian's mingw-w64 tool chain (the POSIX-threads variant, which
# has std::thread), included by mingw-w64-i686.cmake and mingw-w64-x86_64.cmake once they have
# set ORVANTA_MINGW_TRIPLET. platform/ is then the platform's own <windows.h>.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ORVANTA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVANTA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVANTA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVANTA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry their C++ runtime and thread library, so Wine needs no DLL search path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
