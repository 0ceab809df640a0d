# Fails when an object calls one of the C library's string functions. Run as
#   cmake -DNM=<nm> -DOBJECTS=<object;...> -DSTAMP=<file> -P NoStringCalls.cmake
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} -u ${object} OUTPUT_VARIABLE undefined RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} could not read ${object}")
  endif()
  string(REGEX MATCHALL "[_ ](strlen|memcpy|memset|memmove)[\n]" calls "${undefined}\n")
  if(calls)
    string(REGEX REPLACE "[_ \n]" "" calls "${calls}")
    list(REMOVE_DUPLICATES calls)
    message(FATAL_ERROR "${object} calls ${calls}: its loops over caller memory must stay loops, "
      "a fault inside the C library cannot reach the caller")
  endif()
endforeach()
file(TOUCH ${STAMP})
