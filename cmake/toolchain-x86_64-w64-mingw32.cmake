# Cross build for 64-bit Windows with Debian's MinGW-w64.
#   cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
# The standard OLE type library widl links against (wine64).
set(WIDL_ARCH_FLAG   --win64)
set(WIDL_STDOLE2_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
# Test programs run under Wine; Debian puts no wine64 on PATH.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
