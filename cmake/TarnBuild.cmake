# Flags and helpers shared by every module, program and test of the tree.

# Faults become C++ exceptions thrown from the faulting instruction, and stack walks follow
# frame pointers: every piece of code is compiled for both, always.
add_library(tarn_flags INTERFACE)
target_compile_options(tarn_flags INTERFACE
  -fnon-call-exceptions -fno-omit-frame-pointer -Wall -Wextra
  $<$<BOOL:${TARN_WERROR}>:-Werror>)
target_include_directories(tarn_flags INTERFACE
  ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR})
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

# Sources that read caller memory which may fault, with their own loops: the loops must stay
# loops and not become calls of the C library's string functions, which are noexcept and cannot
# pass a fault on to the catch. GCC turns such loops into calls in its loop-distribution pass,
# clang in its loop-idiom pass, which only uses functions it may treat as builtins.
function(tarn_own_loops target)
  set_source_files_properties(${ARGN} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS
    $<IF:$<CXX_COMPILER_ID:Clang>,-fno-builtin,-fno-tree-loop-distribute-patterns>)
endfunction()

# The process allocator's entries for a module or program on Windows: linked whole into its own
# code, ahead of the system's C runtime (see runtime/malloc_win32.cpp). On POSIX the runtime
# serves the whole process by itself.
function(tarn_route_allocations target)
  if(WIN32 AND TARN_ROUTE_MALLOC)
    target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,tarnrt_crt>" tarnrt)
  endif()
endfunction()

# A module of the library family (the library, the runtime, plug-ins). On glibc a module that
# holds GNU-unique symbols (which inline statics and templates become) is never unloaded: the
# family's modules have none, so that a released module leaves the process. RUNTIME: the
# runtime itself, whose own blocks are the system's.
function(tarn_module target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "RUNTIME" "" "")
  target_link_libraries(${target} PRIVATE tarn_flags)
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "")
  elseif(CMAKE_CXX_COMPILER_ID STREQUAL GNU)
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
  if(NOT arg_RUNTIME)
    tarn_route_allocations(${target})
  endif()
endfunction()

# A program of the family: linked to the library and, directly, to the runtime so that on
# POSIX the runtime's malloc and operator new come before libstdc++'s and libc's.
function(tarn_program target)
  target_link_libraries(${target} PRIVATE tarn_flags tarnkernl)
  tarn_route_allocations(${target})
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
    tarn_route_allocations(${name})
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

# Resources come from resource scripts (".rc", in UTF-8), one source for every target.
# On POSIX a resource compiler makes the compiled resource file (".res") that the system
# layer's resource functions read; it preprocesses with the build's own C compiler.
if(NOT WIN32)
  find_program(TARN_WINDRES NAMES x86_64-w64-mingw32-windres i686-w64-mingw32-windres windres
               REQUIRED)
endif()

# Compiles `script` into the resource file `output` at build time.
function(tarn_compile_resources script output)
  get_filename_component(directory ${script} DIRECTORY)
  get_filename_component(outputDirectory ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${outputDirectory}
    COMMAND ${TARN_WINDRES} -c 65001 --preprocessor=${CMAKE_C_COMPILER}
            --preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED
            -I ${directory} -O res -i ${script} -o ${output}
    DEPENDS ${script}
    COMMENT "Compiling the resources of ${script}"
    VERBATIM)
endfunction()

# tarn_resources(target script): the resources of a module or program. On Windows the script is
# compiled into the module; on POSIX the module carries the resource file behind its exported
# symbol tarnModuleResources (a 32-bit byte count, four reserved bytes, the file).
function(tarn_resources target script)
  get_filename_component(script ${script} ABSOLUTE)
  if(WIN32)
    target_sources(${target} PRIVATE ${script})
    set_source_files_properties(${script} TARGET_DIRECTORY ${target}
      PROPERTIES COMPILE_OPTIONS "-c;65001")
    return()
  endif()
  set(res ${CMAKE_CURRENT_BINARY_DIR}/${target}.res)
  set(asm ${CMAKE_CURRENT_BINARY_DIR}/${target}.res.S)
  tarn_compile_resources(${script} ${res})
  file(CONFIGURE OUTPUT ${asm} CONTENT [[
    .section .rodata.tarnModuleResources,"a"
    .balign 8
    .globl tarnModuleResources
    .type tarnModuleResources, @object
tarnModuleResources:
    .4byte .Lend - .Lbegin
    .4byte 0
.Lbegin:
    .incbin "@res@"
.Lend:
    .size tarnModuleResources, . - tarnModuleResources
    .section .note.GNU-stack,"",@progbits
]] @ONLY)
  target_sources(${target} PRIVATE ${asm})
  set_source_files_properties(${asm} TARGET_DIRECTORY ${target} PROPERTIES OBJECT_DEPENDS ${res})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL EXECUTABLE)
    target_link_options(${target} PRIVATE -Wl,--export-dynamic-symbol=tarnModuleResources)
  endif()
endfunction()

# tarn_resource_module(target script file): a data module named `file` (in the current binary
# directory unless it is a full path), made of the script's resources alone, for LoadLibraryExA
# with LOAD_LIBRARY_AS_DATAFILE: on Windows a module without code of its own, on POSIX the
# resource file itself. The path of the file goes to the variable `target`_FILE of the caller.
function(tarn_resource_module target script file)
  get_filename_component(script ${script} ABSOLUTE)
  get_filename_component(output ${file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
  if(WIN32)
    add_library(${target} MODULE ${script})
    get_filename_component(name ${output} NAME_WE)
    get_filename_component(suffix ${output} LAST_EXT)
    get_filename_component(directory ${output} DIRECTORY)
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C PREFIX "" OUTPUT_NAME ${name}
      SUFFIX ${suffix} LIBRARY_OUTPUT_DIRECTORY ${directory})
    set_source_files_properties(${script} TARGET_DIRECTORY ${target}
      PROPERTIES COMPILE_OPTIONS "-c;65001")
    target_link_options(${target} PRIVATE -nostdlib -Wl,--entry=0)
  else()
    tarn_compile_resources(${script} ${output})
    add_custom_target(${target} ALL DEPENDS ${output})
  endif()
  set(${target}_FILE ${output} PARENT_SCOPE)
endfunction()
