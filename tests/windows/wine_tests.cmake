# The tests of the Windows build as CTest runs them: Tessaline.dll checked
# as a file on Linux, then the Wine suites, one prefix per build directory
# (wine-prefix, logs in wine-logs), each step run by wine_step.sh.
#
#   ctest --test-dir build-win64 -N                 lists them
#   ctest --test-dir build-win64 -R fault_table     one suite: the fixtures
#                                                   make the prefix first
#
# Fixtures: WinePrefix (a fresh prefix, ended and removed at the end),
# Registered (regsvr32 Tessaline.dll, and regsvr32 /u with the keys gone at
# the end), DriverInstalled (the simulated device's driver installed and
# served once by tessaline-simd.exe --driver, and its devices removed at the
# end). The Wine tests share the prefix, so they hold one resource lock, and
# each depends on the one declared before it: a whole run keeps this order.

set(wine_bits 64)
set(wine_arch win64)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(wine_bits 32)
  set(wine_arch win32)
endif()
set(wine_step ${CMAKE_CURRENT_SOURCE_DIR}/wine_step.sh)
set(wine_bin ${CMAKE_BINARY_DIR}/bin)

# wine_test(NAME "what it checks" BITS STEP ARGS... [SETUP fixture]
#           [CLEANUP fixtures...] [REQUIRES fixtures...])
# Every Wine test needs the prefix and the registered DLL but those that
# make them; BITS is the loader's (32 for the 32-bit programs in the 64-bit
# prefix).
function(wine_test name what bits step)
  cmake_parse_arguments(PARSE_ARGV 4 arg "" "" "SETUP;CLEANUP;REQUIRES")
  add_test(NAME ${name} COMMAND bash ${wine_step} ${bits} ${what} ${step} ${arg_UNPARSED_ARGUMENTS}
           WORKING_DIRECTORY ${wine_bin})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix;WINEARCH=${wine_arch};TESSALINE_WINE_LOGS=${CMAKE_BINARY_DIR}/wine-logs"
    SKIP_RETURN_CODE 77
    RESOURCE_LOCK wine-prefix
    TIMEOUT 1800
    FIXTURES_SETUP "${arg_SETUP}"
    FIXTURES_CLEANUP "${arg_CLEANUP}"
    FIXTURES_REQUIRED "${arg_REQUIRES}"
    DEPENDS "${wine_last_test}")
  set(wine_last_test ${name} PARENT_SCOPE)
endfunction()
set(wine_last_test "")

# The module as a file, read on Linux.
add_test(NAME dll_exports
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/dll_file_test.sh exports ${CMAKE_OBJDUMP} $<TARGET_FILE:tessaline_dll>)
add_test(NAME dll_version_resource
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/dll_file_test.sh resources ${CMAKE_RC_COMPILER}
                 $<TARGET_FILE:tessaline_dll> ${PROJECT_VERSION})

# The prefix and the registration.
wine_test(wine_prefix "fresh ${wine_arch} prefix" ${wine_bits} prefix SETUP WinePrefix)
wine_test(regsvr32 "regsvr32 Tessaline.dll" ${wine_bits} register SETUP Registered REQUIRES WinePrefix)
set(registered REQUIRES WinePrefix Registered)

# The simulated device through its driver, as a user starts it.
wine_test(simd_driver "tessaline-simd.exe --driver, cscript objects.vbs driver and tessaline.exe through it"
          ${wine_bits} simd-driver SETUP DriverInstalled ${registered})
set(with_driver REQUIRES WinePrefix Registered DriverInstalled)

# The GoogleTest programs serve the device themselves, through the driver
# and behind pipes; the fault table is the Linux build's, through the Win32
# platform layer and the driver.
wine_test(tessaline_windows_tests tessaline_windows_tests ${wine_bits}
          gtest tessaline_windows_tests $<TARGET_FILE_NAME:tessaline_windows_tests> ${with_driver})
wine_test(fault_table_tests fault_table_tests ${wine_bits}
          gtest fault_table_tests $<TARGET_FILE_NAME:fault_table_tests> ${with_driver})
if(wine_bits EQUAL 64)
  # The 32-bit DLL in a 64-bit prefix, against the 64-bit driver, as on
  # 64-bit Windows: the 32-bit build's program, where it has been built.
  set(TESSALINE_WIN32_BUILD_DIR ${PROJECT_SOURCE_DIR}/build-win32 CACHE PATH
      "The 32-bit Windows build whose tests run in the 64-bit prefix")
  wine_test(tessaline_windows_tests_wow64 "tessaline_windows_tests through the 64-bit driver" 32
            wow64 tessaline_windows_tests-wow64 ${TESSALINE_WIN32_BUILD_DIR}/bin/tessaline_windows_tests.exe
            --gtest_filter=Fronts/*/Driver ${with_driver})
endif()

# The device driven through its control pipe while a host uses it.
wine_test(ctl_test_driver "ctl_test.sh driver" ${wine_bits}
          suite ctl-driver ${CMAKE_CURRENT_SOURCE_DIR}/ctl_test.sh driver ${with_driver})
wine_test(ctl_test_pipes "ctl_test.sh pipes" ${wine_bits}
          suite ctl-pipes ${CMAKE_CURRENT_SOURCE_DIR}/ctl_test.sh pipes ${registered})

# The script host against the pipes, named explicitly.
wine_test(vbs_pipe "cscript objects.vbs pipe" ${wine_bits} vbs-pipe vbs${wine_bits} ${registered})

# The driver's devices removed: discovery finds nothing.
wine_test(remove_driver "tessaline-simd.exe --remove-driver" ${wine_bits} remove-driver
          CLEANUP DriverInstalled ${registered})
wine_test(vbs_absent "cscript objects.vbs absent" ${wine_bits} vbs absent ${registered})

# tessaline.exe, a host of the registered DLL, against a device of its own.
wine_test(cli_test "tessaline.exe" ${wine_bits} suite cli ${CMAKE_CURRENT_SOURCE_DIR}/cli_test.sh ${registered})

wine_test(regsvr32_unregister "regsvr32 /u Tessaline.dll" ${wine_bits}
          unregister ${TESSALINE_USBFAX_PROGID} ${TESSALINE_USBFAX_CLSID} CLEANUP Registered WinePrefix)
