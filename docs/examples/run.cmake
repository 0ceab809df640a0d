# Runs one example of the guide in a fresh working directory, RUNS times (each run sees what
# the one before left), through the build's emulator when it has one:
#   cmake -DPROGRAM=... -DNAME=... -DDIRECTORY=... [-DEMULATOR=a|b] [-DSWITCHES=...] [-DRUNS=n]
#         -P run.cmake
file(REMOVE_RECURSE ${DIRECTORY})
file(MAKE_DIRECTORY ${DIRECTORY})
if(SWITCHES)
  file(WRITE ${DIRECTORY}/${NAME}.ini "[PROGRAM]\r\nCommandLine=\"${SWITCHES}\"\r\n")
endif()
string(REPLACE "|" ";" emulator "${EMULATOR}")
if(NOT RUNS)
  set(RUNS 1)
endif()
foreach(run RANGE 1 ${RUNS})
  execute_process(COMMAND ${emulator} ${PROGRAM} WORKING_DIRECTORY ${DIRECTORY}
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NAME} (run ${run} in ${DIRECTORY}) ended with ${status}")
  endif()
endforeach()
