# Cross-builds for the device's processor class: 32-bit little-endian ARMv5TE (no hardware
# division, no ARMv6 multiply-accumulate), with Debian's arm-linux-gnueabi tool chain and the
# multiarch :armel libraries. Programs run under qemu-arm, which CMake uses as the emulator for
# every test it starts.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
# -Wno-psabi: GCC notes at every std::vector<T> argument that GCC 7.1 changed how such
# arguments are passed; nothing here links against code built by an older compiler.
set(CMAKE_C_FLAGS_INIT "-march=armv5te -marm")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -marm -Wno-psabi")

# Debian's multiarch layout: libraries in /usr/lib/arm-linux-gnueabi, arch headers in
# /usr/include/arm-linux-gnueabi, everything else shared with the native system.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config (which FindOpenSSL asks first) must see only the :armel .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabi/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

find_program(ORVANTA_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVANTA_QEMU_ARM})
