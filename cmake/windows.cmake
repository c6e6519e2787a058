# The Windows build: Tessaline.dll, the in-process automation server, from
# the same core as every other build; the simulated device behind named pipes;
# and the tests that run under Wine. Included from the top-level
# CMakeLists.txt when the target is Windows (see the toolchain files in this
# directory).
if(NOT WIDL_EXECUTABLE)
  message(FATAL_ERROR "Configure the Windows build with cmake/toolchain-i686-w64-mingw32.cmake "
                      "or cmake/toolchain-x86_64-w64-mingw32.cmake")
endif()
enable_language(RC)

# Windows 7 and later; no min/max macros from the system headers.
target_compile_definitions(tessaline_platform PUBLIC _WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX)
target_link_libraries(tessaline_platform PUBLIC setupapi advapi32 user32)
target_link_libraries(tessaline_server PUBLIC ole32 oleaut32 uuid)

# The compiler's runtime is linked in, so every binary imports system DLLs
# only; all of them land in one directory, the DLL beside its tests.
add_link_options(-static -static-libgcc -static-libstdc++)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The type library, compiled from the IDL and embedded as TYPELIB resource 1.
set(TESSALINE_RESOURCES ${PROJECT_SOURCE_DIR}/src/server/resources)
set(TESSALINE_GENERATED ${CMAKE_BINARY_DIR}/generated)
add_custom_command(
  OUTPUT ${TESSALINE_GENERATED}/Tessaline.tlb
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TESSALINE_GENERATED}
  COMMAND ${WIDL_EXECUTABLE} ${WIDL_ARCH_FLAG} -I${WIDL_IDL_DIR} -L${WIDL_STDOLE2_DIR}
          -t -T ${TESSALINE_GENERATED}/Tessaline.tlb ${TESSALINE_RESOURCES}/Tessaline.idl
  DEPENDS ${TESSALINE_RESOURCES}/Tessaline.idl
  COMMENT "Compiling the type library"
  VERBATIM)
set_source_files_properties(${TESSALINE_RESOURCES}/Tessaline.rc PROPERTIES
  OBJECT_DEPENDS ${TESSALINE_GENERATED}/Tessaline.tlb)

# The version resource takes the project's version.
file(CONFIGURE OUTPUT ${TESSALINE_GENERATED}/tessaline_version.h @ONLY CONTENT
  "#define TESSALINE_VERSION_BIN @PROJECT_VERSION_MAJOR@,@PROJECT_VERSION_MINOR@,@PROJECT_VERSION_PATCH@,@PROJECT_VERSION_TWEAK@
#define TESSALINE_VERSION_TEXT \"@PROJECT_VERSION@\"
")

# What the build made the module as, for the tests to check the DLL and its
# registration against (tests/windows/wine_tests.cmake, and identity.sh for
# the packages and their test): the version, and the USBFAX class's identity
# as the type library and the registration declare it.
file(READ ${TESSALINE_RESOURCES}/Tessaline.idl tessaline_idl)
string(REGEX MATCH "uuid\\(([0-9A-Fa-f-]+)\\),[ \t\r\n]*helpstring\\(\"USBFAX Class\"\\)" found "${tessaline_idl}")
set(TESSALINE_USBFAX_CLSID "{${CMAKE_MATCH_1}}")
file(READ ${PROJECT_SOURCE_DIR}/src/server/module_win32.cpp tessaline_registration)
string(REGEX MATCH "&CLSID_USBFAX, \"([^\"]+)\"" found "${tessaline_registration}")
set(TESSALINE_USBFAX_PROGID "${CMAKE_MATCH_1}")
if(TESSALINE_USBFAX_CLSID STREQUAL "{}" OR NOT TESSALINE_USBFAX_PROGID)
  message(FATAL_ERROR "cannot find the USBFAX class's CLSID in Tessaline.idl or its ProgID in module_win32.cpp")
endif()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/identity.sh @ONLY CONTENT
  "# Written by cmake/windows.cmake: what this build made Tessaline.dll as.
TESSALINE_VERSION=@PROJECT_VERSION@
TESSALINE_VERSION_COMMAS='@PROJECT_VERSION_MAJOR@, @PROJECT_VERSION_MINOR@, @PROJECT_VERSION_PATCH@, @PROJECT_VERSION_TWEAK@'
TESSALINE_USBFAX_CLSID='@TESSALINE_USBFAX_CLSID@'
TESSALINE_USBFAX_PROGID='@TESSALINE_USBFAX_PROGID@'
")

# Tessaline.dll: exactly the four exports of the .def file.
add_library(tessaline_dll SHARED
  $<TARGET_OBJECTS:tessaline_server>
  src/server/module_win32.cpp
  ${TESSALINE_RESOURCES}/Tessaline.rc
  ${TESSALINE_RESOURCES}/Tessaline.def)
set_target_properties(tessaline_dll PROPERTIES OUTPUT_NAME Tessaline PREFIX "")
target_include_directories(tessaline_dll PRIVATE ${TESSALINE_GENERATED})
target_link_libraries(tessaline_dll PRIVATE tessaline_server)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The exports are __stdcall (_DllGetClassObject@12); the .def names them
  # undecorated.
  target_link_options(tessaline_dll PRIVATE -Wl,--enable-stdcall-fixup)
endif()

# The simulated device, behind named pipes or served through its driver.
add_library(tessaline_sim STATIC ${TESSALINE_FIRMWARE_SOURCES} ${TESSALINE_CONTROL_SOURCES} sim/simd_options.cpp
  sim/control_channel_win32.cpp sim/pipe_device_win32.cpp sim/driver_device_win32.cpp
  sim/driver_install_win32.cpp)
target_include_directories(tessaline_sim PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tessaline_sim PUBLIC tessaline_core newdev)

# The simulated device's driver, a kernel-mode module of this architecture,
# and its .inf, beside the programs. It links against the kernel's exports
# only (no C runtime, no libgcc) and is built by the C compiler directly, so
# that none of the user-mode flags and libraries above reach it.
set(TESSALINE_DRIVER ${CMAKE_BINARY_DIR}/bin/tessaline_sim.sys)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(driver_entry _DriverEntry@8)
  set(driver_libs -lntoskrnl -lhal)  # the spin lock calls are the HAL's here
else()
  set(driver_entry DriverEntry)
  set(driver_libs -lntoskrnl)
endif()
add_custom_command(
  OUTPUT ${TESSALINE_DRIVER}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin
  COMMAND ${CMAKE_C_COMPILER} -std=gnu11 -O2 -Wall -Wextra -Werror -fno-stack-protector
          -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,${driver_entry}
          -o ${TESSALINE_DRIVER} ${PROJECT_SOURCE_DIR}/driver/sim_driver.c ${driver_libs}
  DEPENDS ${PROJECT_SOURCE_DIR}/driver/sim_driver.c ${PROJECT_SOURCE_DIR}/driver/sim_protocol.h
  COMMENT "Building the simulated device's driver"
  VERBATIM)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/bin/tessaline_sim.inf
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/driver/tessaline_sim.inf ${CMAKE_BINARY_DIR}/bin/
  DEPENDS ${PROJECT_SOURCE_DIR}/driver/tessaline_sim.inf
  VERBATIM)
add_custom_target(tessaline_sim_driver ALL DEPENDS ${TESSALINE_DRIVER} ${CMAKE_BINARY_DIR}/bin/tessaline_sim.inf)
add_executable(tessaline-simd sim/simd_win32_main.cpp)
target_link_libraries(tessaline-simd PRIVATE tessaline_sim)
target_compile_definitions(tessaline-simd PRIVATE TESSALINE_VERSION="${PROJECT_VERSION}")
add_dependencies(tessaline-simd tessaline_sim_driver)

# The benchmark: the library through the driver against a raw Win32 client;
# scripts/bench-windows.sh runs it under Wine.
if(TESSALINE_BENCH)
  add_executable(tessaline-bench bench/bench_win32_main.cpp bench/bench_common.cpp bench/raw_channel.cpp bench/raw_channel_win32.cpp)
  target_link_libraries(tessaline-bench PRIVATE tessaline_sim)
  add_dependencies(tessaline-bench tessaline_sim_driver)
endif()

# tessaline.exe: the same command as on POSIX systems, a host of
# Tessaline.dll through COM (the classes as registered), built from none of
# the DLL's code. What it knows of the device beyond the objects comes from
# the public headers: the channel classes and the access lock's name
# (tessaline/fax_device.h), and the walk of the present interfaces that
# discovery makes (tessaline/device_interfaces_win32.h).
# Documents: this build has no imaging libraries of its own, so a file is
# named by its content, a TIFF is told a fax image or not from what the
# platform's imaging component reads of its pages, a fax image is sent as
# it stands and conversions are refused with a message that says so.
add_executable(tessaline-cli ${TESSALINE_TOOL_SOURCES} tools/os/files_win32.cpp
               tools/documents/detect.cpp tools/documents/documents_none.cpp
               tools/documents/fax_page.cpp tools/documents/tiff_pages_win32.cpp
               tools/documents/temp_file.cpp tools/documents/temp_file_win32.cpp tools/documents/paper_win32.cpp)
set_target_properties(tessaline-cli PROPERTIES OUTPUT_NAME tessaline)
target_include_directories(tessaline-cli PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(tessaline-cli PRIVATE _WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX TESSALINE_VERSION="${PROJECT_VERSION}")
target_link_libraries(tessaline-cli PRIVATE ole32 oleaut32 uuid shell32 setupapi ws2_32)

if(TESSALINE_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()
