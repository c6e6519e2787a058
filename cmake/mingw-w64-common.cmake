# What both Windows cross builds share; the toolchain file of each
# architecture sets TOOLCHAIN_PREFIX, CMAKE_SYSTEM_PROCESSOR, WIDL_ARCH_FLAG,
# WIDL_STDOLE2_DIR and CMAKE_CROSSCOMPILING_EMULATOR, then includes this.
set(CMAKE_SYSTEM_NAME Windows)

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

# The IDL compiler and the IDL files it imports (libwine-dev).
set(WIDL_EXECUTABLE  ${TOOLCHAIN_PREFIX}-widl)
set(WIDL_IDL_DIR     /usr/include/wine/wine/windows)
