# Cross-compiles for 64-bit Windows with Debian's mingw-w64 toolchain (the
# posix thread model, which std::thread needs) and runs the results with
# wine64. scripts/build-windows.sh uses it; by hand:
#
#   cmake -S . -B build-windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
#     -DCAROVEL_WINDOWS_DEPS=<prefix holding speexdsp and GoogleTest>
#
# CAROVEL_WINDOWS_DEPS (a cache variable or an environment variable) names a
# prefix with lib/pkgconfig/speexdsp.pc and GoogleTest's CMake package, built
# for Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CAROVEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CAROVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CAROVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CAROVEL_MINGW_TRIPLE}-windres)

# The GCC runtime (libgcc, libstdc++) and winpthreads are linked statically
# into every DLL and program, so carovel.dll and the test programs need only
# DLLs that come with Windows (KERNEL32, msvcrt, WINMM).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

if(NOT CAROVEL_WINDOWS_DEPS AND DEFINED ENV{CAROVEL_WINDOWS_DEPS})
  set(CAROVEL_WINDOWS_DEPS "$ENV{CAROVEL_WINDOWS_DEPS}")
endif()

# Libraries, headers and packages come from the MinGW sysroot and the
# Windows dependencies' prefix, never from the host; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${CAROVEL_MINGW_TRIPLE} ${CAROVEL_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the Windows prefix's .pc files.
if(CAROVEL_WINDOWS_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} "${CAROVEL_WINDOWS_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()

# Programs built here (test discovery, ctest) run under wine64 with a wine
# prefix of the build's own; see wine64-run.sh.
set(CMAKE_CROSSCOMPILING_EMULATOR
  ${CMAKE_CURRENT_LIST_DIR}/wine64-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
