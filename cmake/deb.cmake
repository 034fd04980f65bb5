# Debian packages made by CPack: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_RPATH=ON (scripts/package.sh
# does it all, and checks the packages). One package per install component:
#   libgard1     runtime  the libraries, with their SONAMEs
#   libgard-dev  dev      headers, the CMake package, gard.pc
#   gard         tool     the tool, its man page, guides, completion, JSON schemas
set(GARD_DEB_runtime libgard1)
set(GARD_DEB_dev libgard-dev)
set(GARD_DEB_tool gard)

# Every package has its copyright and changelog under /usr/share/doc/<name>.
set(GARD_DEB_DATE "Tue, 08 Dec 2026 00:00:00 +0000")
set(GARD_DEB_MAINTAINER "libgard developers <libgard@example.com>")
file(WRITE ${PROJECT_BINARY_DIR}/deb/changelog
     "libgard (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}: docs/figures.md and the git log say what it holds.\n\n"
     " -- ${GARD_DEB_MAINTAINER}  ${GARD_DEB_DATE}\n")
execute_process(COMMAND gzip -n -9 -f ${PROJECT_BINARY_DIR}/deb/changelog)
foreach(component runtime dev tool)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/deb/copyright ${PROJECT_BINARY_DIR}/deb/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${GARD_DEB_${component}} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libgard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${GARD_DEB_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Dependencies from the ELF files (dpkg-shlibdeps), the shlibs file of
# libgard1 for packages built against it, and the packages among themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
foreach(component runtime dev tool)
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${GARD_DEB_${component}})
endforeach()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader's cache through dpkg's ldconfig trigger, not ldconfig in scripts.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/deb/triggers
    ${PROJECT_SOURCE_DIR}/cmake/deb/postinst ${PROJECT_SOURCE_DIR}/cmake/deb/postrm)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "gard records of a service processor's firmware (libraries)
libgard records hardware that a server's service processors deconfigured
after errors (garded) and answers questions about it. This package holds
libgard and the host platform it runs on, libgardhost.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "gard records of a service processor's firmware (development files)
The headers (<gard/gard.h>, <gard/platform/...>), the CMake package
(find_package(gard) gives gard::gard) and gard.pc for pkg-config, to build
programs against libgard.")
set(CPACK_DEBIAN_TOOL_DESCRIPTION "see and change the gard records of a service-processor pair
The gard command-line tool: the unit gard table, the service processors'
records, stored and committed error logs in words, the history of changes,
with --json output described by the JSON schemas in /usr/share/gard/schemas.
Bash completion and the guides in /usr/share/doc/gard come with it.")
include(CPack)
cpack_add_component(runtime)
cpack_add_component(dev DEPENDS runtime)
cpack_add_component(tool DEPENDS runtime)
