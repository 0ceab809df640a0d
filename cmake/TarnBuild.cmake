# Flags and helpers shared by every module, program and test of the tree.

# Faults become C++ exceptions thrown from the faulting instruction, and stack walks follow
# frame pointers: every piece of code is compiled for both, always.
add_library(tarn_flags INTERFACE)
target_compile_options(tarn_flags INTERFACE
  -fnon-call-exceptions -fno-omit-frame-pointer -Wall -Wextra
  $<$<BOOL:${TARN_WERROR}>:-Werror>)
target_include_directories(tarn_flags INTERFACE
  ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR})
if(WIN32)
  # Printf digits as on POSIX (%lld, %zu...); one copy of the GCC runtime inside each module.
  target_compile_definitions(tarn_flags INTERFACE __USE_MINGW_ANSI_STDIO=1 WIN32_LEAN_AND_MEAN)
  target_link_options(tarn_flags INTERFACE -static)
endif()

# A module of the library family (the library, the runtime, plug-ins). On glibc a module that
# holds GNU-unique symbols (which inline statics and templates become) is never unloaded: the
# family's modules have none, so that a released module leaves the process.
function(tarn_module target)
  target_link_libraries(${target} PRIVATE tarn_flags)
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "")
  else()
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
endfunction()

# A program of the family: linked to the library and, directly, to the runtime so that on
# POSIX the runtime's malloc and operator new come before libstdc++'s and libc's.
function(tarn_program target)
  target_link_libraries(${target} PRIVATE tarn_flags tarnkernl)
  if(NOT WIN32)
    target_link_options(${target} PRIVATE -Wl,--no-as-needed)
    set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  endif()
endfunction()

# GoogleTest: Debian's build natively, the sources for the cross targets.
if(TARN_BUILD_TESTS)
  find_package(Threads REQUIRED)
  if(CMAKE_CROSSCOMPILING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    set(TARN_DISCOVERY_MODE PRE_TEST)
  else()
    find_package(GTest REQUIRED)
    set(TARN_DISCOVERY_MODE POST_BUILD)
  endif()
  include(GoogleTest)
endif()

# Test properties every test of this build needs (under Wine: the persistent wineserver).
set(TARN_TEST_PROPERTIES "")
if(WIN32 AND CMAKE_CROSSCOMPILING_EMULATOR)
  list(APPEND TARN_TEST_PROPERTIES FIXTURES_REQUIRED wineserver)
endif()

# tarn_add_unit_test(name [RUNTIME] source...): one GoogleTest program; each test becomes a
# CTest test. RUNTIME: the program tests the runtime and system layer alone and links only tarnrt.
function(tarn_add_unit_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "RUNTIME" "" "")
  add_executable(${name} ${arg_UNPARSED_ARGUMENTS})
  if(arg_RUNTIME)
    target_link_libraries(${name} PRIVATE tarn_flags tarnrt)
    if(NOT WIN32)
      target_link_options(${name} PRIVATE -Wl,--no-as-needed)
    endif()
  else()
    tarn_program(${name})
  endif()
  target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gtest Threads::Threads)
  gtest_discover_tests(${name}
    DISCOVERY_MODE ${TARN_DISCOVERY_MODE}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 ${TARN_TEST_PROPERTIES})
endfunction()
