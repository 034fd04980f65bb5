# Installs what a consumer needs besides the libraries: the platform headers,
# the CMake package (find_package(gard) gives gard::gard) and gard.pc.
include(CMakePackageConfigHelpers)

file(GLOB GARD_PLATFORM_HEADERS ${PROJECT_SOURCE_DIR}/platform/*.h)
install(FILES ${GARD_PLATFORM_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/gard/platform COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/platform/host/host.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/gard/platform/host COMPONENT dev)

set(GARD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/gard)
install(EXPORT gardTargets NAMESPACE gard:: DESTINATION ${GARD_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/gardConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/gardConfig.cmake
                              INSTALL_DESTINATION ${GARD_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/gardConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/gardConfig.cmake ${PROJECT_BINARY_DIR}/gardConfigVersion.cmake
        DESTINATION ${GARD_CMAKE_DIR} COMPONENT dev)

# gard.pc finds its prefix from its own place, so any --prefix works.
file(RELATIVE_PATH GARD_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${PROJECT_SOURCE_DIR}/cmake/gard.pc.in ${PROJECT_BINARY_DIR}/gard.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/gard.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
