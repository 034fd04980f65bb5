# Installs the build tree into a fresh prefix and checks that a consumer finds
# what it needs there: headers, libgard with its SONAME, the host platform,
# gard with its man page (its sections and the guides it points at) and
# trace messages, the CMake package and gard.pc; and that the README's
# library example builds and runs as shown. The consumers (find_package, and
# pkg-config's flags alone) are built and run without LD_LIBRARY_PATH.
# cmake -DBUILD=... -DSRC=... -DWORK=... -DREADME=... -DSANITIZE=ON|OFF -DGENERATOR=... -DCXX=...
#       -P install_test.cmake
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
          bin/gard share/man/man1/gard.1 share/gard/trace-strings share/doc/gard/tool.md share/doc/gard/json.md
          share/doc/gard/host.md share/doc/gard/glossary.md)
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

# The man page has the sections a reader looks for, a command three words
# deep among them, and points at guides that are installed.
file(READ ${prefix}/share/man/man1/gard.1 man)
foreach(want "\n\\.SH \"?EXIT STATUS" "\n\\.SH \"?ENVIRONMENT" "\n\\.SH \"?FILES" "\n\\.B 4\n"
        "GARD_HOST_ERRL_MAX" "errl/committed\\.1" "\\.SS \"gard platform fault add\"" "share/doc/gard")
  if(NOT man MATCHES "${want}")
    message(FATAL_ERROR "the man page lacks ${want}")
  endif()
endforeach()

# The installed tool runs from its own tree and finds its trace messages there.
file(MAKE_DIRECTORY ${WORK}/state-tool)  # --state names an existing directory
run(${prefix}/bin/gard --state ${WORK}/state-tool units list)
run(${prefix}/bin/gard --state ${WORK}/state-tool trace --json)
string(JSON message ERROR_VARIABLE err GET "${out}" trace 0 message)
if(err OR message STREQUAL "" OR message STREQUAL "null")
  message(FATAL_ERROR "installed gard trace gives no message text: ${out}")
endif()

# The README's library example, exactly as it stands there.
file(READ ${README} readme)
string(REGEX MATCH "```cpp\n([^`]*)```" _ "${readme}")
if(NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "no C++ example in ${README}")
endif()
file(WRITE ${WORK}/readme.cc "${CMAKE_MATCH_1}")

# A consumer through find_package(gard).
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined")
endif()
run(${CMAKE_COMMAND} -S ${SRC}/consumer -B ${WORK}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${flags}" -DREADME_EXAMPLE=${WORK}/readme.cc)
run(${CMAKE_COMMAND} --build ${WORK}/consumer)
unset(ENV{LD_LIBRARY_PATH})
run(${CMAKE_COMMAND} -E env GARD_STATE_DIR=${WORK}/state-consumer ${WORK}/consumer/consumer)
run(${CMAKE_COMMAND} -E env GARD_STATE_DIR=${WORK}/state-readme ${WORK}/consumer/readme)

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
  # A consumer built with those flags alone runs from a prefix the loader
  # does not search: the flags carry the run path.
  separate_arguments(pcflags UNIX_COMMAND "${out}")
  run(${CXX} -std=c++20 ${flags} ${SRC}/consumer/main.cc ${pcflags} -Wl,--as-needed -o ${WORK}/consumer-pc)
  run(${CMAKE_COMMAND} -E env GARD_STATE_DIR=${WORK}/state-consumer-pc ${WORK}/consumer-pc)
endif()
message(STATUS "installed tree usable: ${prefix}")
