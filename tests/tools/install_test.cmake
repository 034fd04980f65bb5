# Installs the build tree into a fresh prefix and checks that a consumer finds
# what it needs there: headers, libgard with its SONAME, the host platform,
# gard with its man page (its sections and the guides it points at) and
# trace messages, the CMake package and gard.pc; and that the README's
# library example builds and runs as shown. The consumers (find_package, and
# pkg-config's flags alone) are built and run without LD_LIBRARY_PATH.
# Every C++ example of docs/library.md (DOCS) is built against the installed
# tree the same way and run, each in a fresh state directory.
# cmake -DBUILD=... -DSRC=... -DWORK=... -DREADME=... -DDOCS=... -DSANITIZE=ON|OFF -DGENERATOR=... -DCXX=...
#       -P install_test.cmake
# With -DPREFIX=DIR (a tree installed already, e.g. a package's files
# unpacked in a scratch root) and -DLIBPATH=DIR (where its libraries are,
# the loader's path: packaged libraries carry no run path) nothing is
# installed and that tree is checked.
cmake_minimum_required(VERSION 3.25)
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
if(PREFIX)
  set(prefix ${PREFIX})
  set(ENV{LD_LIBRARY_PATH} ${LIBPATH})
else()
  set(prefix ${WORK}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
  unset(ENV{LD_LIBRARY_PATH})
endif()

include(GNUInstallDirs)
foreach(f include/gard/gard.h include/gard/platform/errl.h include/gard/platform/host/host.h
          bin/gard share/man/man1/gard.1.gz share/gard/trace-strings share/doc/gard/tool.md share/doc/gard/json.md
          share/doc/gard/host.md share/doc/gard/glossary.md share/doc/gard/library.md
          share/bash-completion/completions/gard share/gard/schemas/status.schema.json
          share/gard/schemas/common.schema.json share/gard/schemas/error.schema.json)
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
run(gzip -dc ${prefix}/share/man/man1/gard.1.gz)
set(man "${out}")
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

# The README's library example and docs/library.md's, exactly as they stand there.
file(READ ${README} readme)
string(REGEX MATCH "```cpp\n([^`]*)```" _ "${readme}")
if(NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "no C++ example in ${README}")
endif()
file(WRITE ${WORK}/readme.cc "${CMAKE_MATCH_1}")
# Cut out by position: a list of the blocks would split them at their semicolons.
file(READ ${DOCS} docs)
set(examples "")
set(count 0)
while(TRUE)
  string(FIND "${docs}" "```cpp\n" at)
  if(at EQUAL -1)
    break()
  endif()
  math(EXPR at "${at} + 7")
  string(SUBSTRING "${docs}" ${at} -1 docs)
  string(FIND "${docs}" "```" end)
  string(SUBSTRING "${docs}" 0 ${end} block)
  file(WRITE ${WORK}/examples/example${count}.cc "${block}")
  list(APPEND examples ${WORK}/examples/example${count}.cc)
  string(SUBSTRING "${docs}" ${end} -1 docs)
  string(SUBSTRING "${docs}" 3 -1 docs)
  math(EXPR count "${count} + 1")
endwhile()
if(count LESS 5)
  message(FATAL_ERROR "only ${count} C++ examples in ${DOCS}")
endif()

# A consumer through find_package(gard); the examples' list goes as one argument.
string(REPLACE ";" "|" examples_arg "${examples}")
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined")
endif()
run(${CMAKE_COMMAND} -S ${SRC}/consumer -B ${WORK}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${flags}" -DREADME_EXAMPLE=${WORK}/readme.cc
    "-DDOC_EXAMPLES=${examples_arg}")
run(${CMAKE_COMMAND} --build ${WORK}/consumer)
run(${CMAKE_COMMAND} -E env GARD_STATE_DIR=${WORK}/state-consumer ${WORK}/consumer/consumer)
run(${CMAKE_COMMAND} -E env GARD_STATE_DIR=${WORK}/state-readme ${WORK}/consumer/readme)
message(STATUS "find_package(gard): the consumer and the README's example built and run")
foreach(example ${examples})
  get_filename_component(name ${example} NAME_WE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env GARD_STATE_DIR=${WORK}/state-${name} ${WORK}/consumer/${name}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    file(READ ${example} code)
    message(FATAL_ERROR "docs/library.md's example exits ${rc}:\n${code}\n${out}")
  endif()
endforeach()
message(STATUS "docs/library.md: ${count} examples built and run")

# gard.pc points at the installed headers and libraries wherever the prefix is.
get_filename_component(pcdir ${pc} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  run(${PKG_CONFIG} --cflags --libs gard)
  string(STRIP "${out}" pcout)
  string(REGEX MATCH "-I([^ \n]*)" _ "${out}")
  if(NOT out MATCHES "-lgard" OR NOT EXISTS "${CMAKE_MATCH_1}/gard/gard.h")
    message(FATAL_ERROR "gard.pc gives '${out}'")
  endif()
  # A consumer built with those flags alone runs from a prefix the loader
  # does not search: the flags carry the run path.
  separate_arguments(pcflags UNIX_COMMAND "${out}")
  run(${CXX} -std=c++20 ${flags} ${SRC}/consumer/main.cc ${pcflags} -Wl,--as-needed -o ${WORK}/consumer-pc)
  run(${CMAKE_COMMAND} -E env GARD_STATE_DIR=${WORK}/state-consumer-pc ${WORK}/consumer-pc)
  message(STATUS "pkg-config gard: ${pcout}: the consumer built with these flags alone and run")
endif()
message(STATUS "installed tree usable: ${prefix}")
