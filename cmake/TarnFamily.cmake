# CMake functions for the programs and modules of the family, in this tree and for projects
# that use the installed package. Everything a program needs to load and use the library
# comes with the targets tarnkernl::tarnkernl and tarnkernl::tarnrt; these functions add what
# differs between a program and a module, and the resources.

# The shape every module of the family has. On Windows its file is named without a "lib"
# prefix. On glibc a module that holds GNU-unique symbols (which inline statics and templates
# become) is never unloaded: the family's modules have none, so that a released module leaves
# the process.
function(tarn_module_form target)
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "")
  elseif(CMAKE_CXX_COMPILER_ID STREQUAL GNU)
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
endfunction()

# tarn_module(target): a plug-in or other module of the family, linked to the library.
function(tarn_module target)
  tarn_module_form(${target})
  target_link_libraries(${target} PRIVATE tarnkernl::tarnkernl)
endfunction()

# tarn_program(target): a program of the family, linked to the library.
function(tarn_program target)
  target_link_libraries(${target} PRIVATE tarnkernl::tarnkernl)
endfunction()

# tarn_libraries_beside(program): on Windows, copies the DLLs the program loads (the library
# and its runtime) beside it after each build, where the system finds them. Elsewhere the
# program finds them through its run path.
function(tarn_libraries_beside target)
  if(WIN32)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_RUNTIME_DLLS:${target}>
              $<TARGET_FILE_DIR:${target}>
      COMMAND_EXPAND_LISTS)
  endif()
endfunction()

# Resources come from resource scripts (".rc", in UTF-8), one source for every target.
# On POSIX a resource compiler makes the compiled resource file (".res") that the system
# layer's resource functions read; it preprocesses with the build's own C++ compiler (as C).
function(tarn_find_resource_compiler)
  if(NOT WIN32 AND NOT TARN_WINDRES)
    find_program(TARN_WINDRES NAMES x86_64-w64-mingw32-windres i686-w64-mingw32-windres windres
                 REQUIRED)
  endif()
endfunction()

# Compiles `script` into the resource file `output` at build time.
function(tarn_compile_resources script output)
  tarn_find_resource_compiler()
  get_filename_component(directory ${script} DIRECTORY)
  get_filename_component(outputDirectory ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${outputDirectory}
    COMMAND ${TARN_WINDRES} -c 65001 --preprocessor=${CMAKE_CXX_COMPILER}
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
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}.res.cpp)
  tarn_compile_resources(${script} ${res})
  # A C++ source with the file in its assembly, so that a project needs no assembler language.
  file(CONFIGURE OUTPUT ${source} CONTENT [[
asm(R"(
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
    .previous
)");
]] @ONLY)
  target_sources(${target} PRIVATE ${source})
  set_source_files_properties(${source} TARGET_DIRECTORY ${target} PROPERTIES OBJECT_DEPENDS ${res})
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
