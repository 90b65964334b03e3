# What `cmake --install` puts in place: the executable, the plug-in SDK header, and a CMake
# package (find_package(Keltra)) with the imported target Keltra::sdk and keltra_add_plugin().
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

add_library(keltra_sdk INTERFACE)
add_library(Keltra::sdk ALIAS keltra_sdk)
set_target_properties(keltra_sdk PROPERTIES EXPORT_NAME sdk)
target_include_directories(keltra_sdk INTERFACE
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS keltra-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/keltra/plugin.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keltra)
install(TARGETS keltra_sdk EXPORT KeltraTargets)
install(EXPORT KeltraTargets NAMESPACE Keltra:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Keltra)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/KeltraConfig.cmake.in
    ${CMAKE_BINARY_DIR}/KeltraConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Keltra)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/KeltraConfigVersion.cmake
    VERSION 1.0.0 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/KeltraConfig.cmake ${CMAKE_BINARY_DIR}/KeltraConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Keltra)
