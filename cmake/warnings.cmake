# Warnings, per target: every C and C++ target of the project, in every
# directory of its own (not the third-party sources it adds), compiles with
# -Wall -Wextra; with TESSALINE_WERROR (CI turns it on) a warning fails the
# build. Called once at the end of the top-level CMakeLists.txt, when every
# target exists.
option(TESSALINE_WERROR "Treat compiler warnings as errors" OFF)

function(tessaline_warnings dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$")
      target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra>
        $<$<AND:$<BOOL:${TESSALINE_WERROR}>,$<COMPILE_LANGUAGE:C,CXX>>:-Werror>)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${subdir}" NORMALIZE inside)
    if(inside)
      tessaline_warnings(${subdir})
    endif()
  endforeach()
endfunction()
