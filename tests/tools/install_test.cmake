# Installs the build tree into a fresh prefix and checks that a consumer finds
# what it needs there: headers, libgard with its SONAME, the host platform,
# gard, the CMake package and gard.pc. Both consumers (find_package and
# pkg-config) are built and run without LD_LIBRARY_PATH.
# cmake -DBUILD=... -DSRC=... -DWORK=... -DSANITIZE=ON|OFF -DGENERATOR=... -DCXX=... -P install_test.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})

include(GNUInstallDirs)
foreach(f include/gard/gard.h include/gard/platform/errl.h include/gard/platform/host/host.h
          bin/gard)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(GLOB_RECURSE soname ${prefix}/lib*/libgard.so.1)
file(GLOB_RECURSE config ${prefix}/lib*/gardConfig.cmake)
file(GLOB_RECURSE pc ${prefix}/lib*/gard.pc)
if(NOT soname OR NOT config OR NOT pc)
  message(FATAL_ERROR "missing: libgard.so.1 '${soname}', gardConfig.cmake '${config}', gard.pc '${pc}'")
endif()

# The installed tool runs from its own tree.
run(${prefix}/bin/gard --state ${WORK}/state-tool units list)

# A consumer through find_package(gard).
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined")
endif()
run(${CMAKE_COMMAND} -S ${SRC}/consumer -B ${WORK}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${flags}")
run(${CMAKE_COMMAND} --build ${WORK}/consumer)
unset(ENV{LD_LIBRARY_PATH})
set(ENV{GARD_STATE_DIR} ${WORK}/state-consumer)
run(${WORK}/consumer/consumer)

# gard.pc points at the installed headers and libraries wherever the prefix is.
get_filename_component(pcdir ${pc} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  run(${PKG_CONFIG} --cflags --libs gard)
  string(REGEX MATCH "-I([^ ]*)/gard[ \n]" _ "${out} ")
  if(NOT out MATCHES "-lgard" OR NOT EXISTS "${CMAKE_MATCH_1}/gard/gard.h")
    message(FATAL_ERROR "gard.pc gives '${out}'")
  endif()
  # A consumer built with those flags and a run path to the library only.
  separate_arguments(pcflags UNIX_COMMAND "${out}")
  get_filename_component(libdir ${soname} DIRECTORY)
  run(${CXX} -std=c++20 ${flags} ${SRC}/consumer/main.cc ${pcflags} -Wl,--as-needed
      -Wl,-rpath,${libdir} -o ${WORK}/consumer-pc)
  set(ENV{GARD_STATE_DIR} ${WORK}/state-consumer-pc)
  run(${WORK}/consumer-pc)
endif()
message(STATUS "installed tree usable: ${prefix}")
