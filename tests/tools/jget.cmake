# cmake -DF=file.json -DP="members and indexes[;more]" -P jget.cmake: prints
# the values, separated by spaces.
file(READ ${F} json)
set(values "")
foreach(one IN LISTS P)
  separate_arguments(path UNIX_COMMAND "${one}")
  string(JSON value ERROR_VARIABLE err GET "${json}" ${path})
  if(err)
    set(value "error: ${err}")
  endif()
  list(APPEND values "${value}")
endforeach()
list(JOIN values " " out)
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${out}")
