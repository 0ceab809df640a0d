# Language directories made at build time by the language-pack tool.

# tarn_language(target DIRECTORY dir ID id NAME name [TEXTS source...] [RESOURCES script...]):
# the language directory `dir` with its "langid.cfg", one text table "<target>.mui" of the
# sources (text files or gettext catalogues) and a resource module "<name>.rmui" for each
# resource script. Cross builds run the tool through the target's emulator; a cross build
# without one cannot run the tool: its target then makes no language directory.
function(tarn_language target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DIRECTORY;ID;NAME" "TEXTS;RESOURCES")
  if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(STATUS "${target}: no emulator to run the language-pack tool; "
                   "${arg_DIRECTORY} is not made")
    add_custom_target(${target})
    return()
  endif()
  set(description ${arg_DIRECTORY}/langid.cfg)
  # The name goes through a file: a Windows program's command line is in its code page.
  set(name_file ${CMAKE_CURRENT_BINARY_DIR}/${target}.name)
  file(CONFIGURE OUTPUT ${name_file} CONTENT "${arg_NAME}\n")
  add_custom_command(OUTPUT ${description}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${arg_DIRECTORY}
    COMMAND tarnkernl::tarnmui langid ${description} ${arg_ID} @${name_file}
    DEPENDS tarnkernl::tarnmui ${name_file}
    COMMENT "Describing the language ${arg_NAME}"
    VERBATIM)
  set(outputs ${description})
  if(arg_TEXTS)
    set(sources "")
    foreach(source ${arg_TEXTS})
      get_filename_component(source ${source} ABSOLUTE)
      list(APPEND sources ${source})
    endforeach()
    set(table ${arg_DIRECTORY}/${target}.mui)
    add_custom_command(OUTPUT ${table}
      COMMAND tarnkernl::tarnmui table ${table} ${sources}
      DEPENDS tarnkernl::tarnmui ${sources} ${description}
      COMMENT "Making the text table of ${arg_NAME}"
      VERBATIM)
    list(APPEND outputs ${table})
  endif()
  add_custom_target(${target} ALL DEPENDS ${outputs})
  foreach(script ${arg_RESOURCES})
    get_filename_component(name ${script} NAME_WE)
    tarn_resource_module(${target}_${name} ${script} ${arg_DIRECTORY}/${name}.rmui)
    add_dependencies(${target} ${target}_${name})
  endforeach()
endfunction()
