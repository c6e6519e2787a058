# Cross build for 32-bit Windows with Debian's MinGW-w64 (the layout the type
# library and the records are made for).
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
# The standard OLE type library widl links against (wine32).
set(WIDL_ARCH_FLAG   --win32)
set(WIDL_STDOLE2_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)
# Test programs run under Wine (WINEPREFIX and the rest come from the caller).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
