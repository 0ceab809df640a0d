# Flags and helpers of this tree: its warnings, its sanitizer builds, its tests and fuzz targets.
# What every program and module of the family needs, here and in projects that use the
# installed package, is carried by the library's targets (runtime/CMakeLists.txt) and by the
# family's functions (TarnFamily.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/TarnFamily.cmake)

# The tree's own flags, which every target of the tree that uses the runtime gets with it.
add_library(tarn_flags INTERFACE)
target_compile_options(tarn_flags INTERFACE -Wall -Wextra $<$<BOOL:${TARN_WERROR}>:-Werror>)
target_include_directories(tarn_flags INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(tarn_flags INTERFACE
  $<$<OR:$<BOOL:${TARN_DCHECKS}>,$<CONFIG:Debug>>:TARN_DCHECKS>)
# Sanitizer builds (linux-asan, linux-tsan): every piece of code instrumented. A sanitizer brings
# its own malloc, so the runtime leaves the process's allocations to it; the pools are still
# tested through the memory interface. GCC 12 reports uninitialised reads inside <regex> that its
# own instrumentation introduces, so that check is off there. A fault is the family's exception:
# code and tests read through null and divide by zero on purpose to raise one, so those two checks
# of the undefined-behaviour sanitizer would stop exactly what is tested. The family's records are
# packed by their layouts (files, zones, the guard marks that follow a block's bytes) and x86
# reads them at any address, so alignment is not checked either.
set(TARN_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined or thread")
if(TARN_SANITIZE)
  if(TARN_ROUTE_MALLOC)
    message(FATAL_ERROR "TARN_SANITIZE needs TARN_ROUTE_MALLOC=OFF: a sanitizer serves malloc itself")
  endif()
  target_compile_options(tarn_flags INTERFACE -fsanitize=${TARN_SANITIZE} -fno-sanitize-recover=all
    $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
  if(TARN_SANITIZE MATCHES "undefined")
    target_compile_options(tarn_flags INTERFACE -fno-sanitize=null,integer-divide-by-zero,alignment)
  endif()
  target_link_options(tarn_flags INTERFACE -fsanitize=${TARN_SANITIZE})
  target_sources(tarn_flags INTERFACE $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:${PROJECT_SOURCE_DIR}/runtime/sanitizer_options.cpp>)
endif()
if(WIN32)
  # Printf digits as on POSIX (%lld, %zu...); one copy of the GCC runtime inside each module.
  target_compile_definitions(tarn_flags INTERFACE __USE_MINGW_ANSI_STDIO=1 WIN32_LEAN_AND_MEAN)
  target_link_options(tarn_flags INTERFACE -static)
endif()

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

# tarn_add_unit_test(name [RUNTIME] [ONE_AT_A_TIME] source...): one GoogleTest program; each test
# becomes a CTest test. RUNTIME: the program tests the runtime and system layer alone and links
# only tarnrt. ONE_AT_A_TIME: its tests never run beside each other (they read back the program's
# own log files).
function(tarn_add_unit_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "RUNTIME;ONE_AT_A_TIME" "" "")
  add_executable(${name} ${arg_UNPARSED_ARGUMENTS})
  if(arg_RUNTIME)
    target_link_libraries(${name} PRIVATE tarnkernl::tarnrt)
  else()
    tarn_program(${name})
  endif()
  target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gtest Threads::Threads)
  set(lock)
  if(arg_ONE_AT_A_TIME)
    set(lock RESOURCE_LOCK ${name})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE ${TARN_DISCOVERY_MODE}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 ${lock} ${TARN_TEST_PROPERTIES})
endfunction()

# tarn_fuzzer(name source...): a fuzz target, a program of the family. With TARN_FUZZ (clang,
# the linux-fuzz preset) it is a libFuzzer program for tools/fuzz.sh; otherwise it replays its
# seeds and its corpus (tests/corpus/<name>), as a test of its own on every target.
option(TARN_FUZZ "Build the fuzz targets as libFuzzer programs (clang)" OFF)
function(tarn_fuzzer name)
  add_executable(${name} ${ARGN} ${PROJECT_SOURCE_DIR}/tests/fuzz/fuzz.cpp)
  tarn_program(${name})
  if(TARN_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    return()
  endif()
  target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz/replay.cpp)
  set(corpus ${PROJECT_SOURCE_DIR}/tests/corpus/${name})
  if(NOT EXISTS ${corpus})
    set(corpus "")
  endif()
  add_test(NAME Fuzz.${name} COMMAND ${name} ${corpus})
  set_tests_properties(Fuzz.${name} PROPERTIES TIMEOUT 300 ${TARN_TEST_PROPERTIES})
endfunction()
