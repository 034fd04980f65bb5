# cmake -DF=file.json -DP="members and indexes" -P jget.cmake: prints the value.
file(READ ${F} json)
separate_arguments(path UNIX_COMMAND "${P}")
string(JSON value ERROR_VARIABLE err GET "${json}" ${path})
if(err)
  set(value "error: ${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${value}")
