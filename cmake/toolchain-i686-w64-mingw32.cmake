# Cross build for 32-bit Windows with Debian's MinGW-w64 (the layout the type
# library and the records are made for).
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)

# The -posix compilers use the POSIX thread model, so std::thread and
# std::mutex exist; winpthread is linked statically with the rest of the
# runtime.
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_AR           ${TOOLCHAIN_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       ${TOOLCHAIN_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The IDL compiler, the IDL files it imports (libwine-dev) and the standard
# OLE type library it links against (wine32).
set(WIDL_EXECUTABLE  ${TOOLCHAIN_PREFIX}-widl)
set(WIDL_ARCH_FLAG   --win32)
set(WIDL_IDL_DIR     /usr/include/wine/wine/windows)
set(WIDL_STDOLE2_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)

# Test programs run under Wine (WINEPREFIX and the rest come from the caller).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
