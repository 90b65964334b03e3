# What `cmake --install` puts in place: the executable (component runtime), the plug-in SDK
# header, and a CMake package (find_package(Keltra)) with the imported target Keltra::sdk and
# keltra_add_plugin() (component dev). The Debian packages are made of one component each.
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

add_library(keltra_sdk INTERFACE)
add_library(Keltra::sdk ALIAS keltra_sdk)
set_target_properties(keltra_sdk PROPERTIES EXPORT_NAME sdk)
target_include_directories(keltra_sdk INTERFACE
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS keltra-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/include/keltra/plugin.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keltra COMPONENT dev)
install(TARGETS keltra_sdk EXPORT KeltraTargets COMPONENT dev)
install(EXPORT KeltraTargets NAMESPACE Keltra:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Keltra
    COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/KeltraConfig.cmake.in
    ${CMAKE_BINARY_DIR}/KeltraConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Keltra)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/KeltraConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/KeltraConfig.cmake ${CMAKE_BINARY_DIR}/KeltraConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Keltra COMPONENT dev)
