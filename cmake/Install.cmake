# Installs the programs (frameshare beside the producer), the library with its header, a pkg-config file, a
# CMake package (find_package(framereader) gives framereader::framereader),
# a systemd unit for the producer with the sysusers.d entry for its user,
# and packages it all as a .deb.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS producer demo_producer frameshare RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS framereader EXPORT framereaderTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT framereaderTargets NAMESPACE framereader::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/framereader)
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/framereaderConfig.cmake.in
  ${PROJECT_BINARY_DIR}/framereaderConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/framereader)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/framereaderConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/framereaderConfig.cmake ${PROJECT_BINARY_DIR}/framereaderConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/framereader)

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH PKGCONFIG_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${PROJECT_SOURCE_DIR}/packaging/framereader.pc.in ${PROJECT_BINARY_DIR}/framereader.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/framereader.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

configure_file(${PROJECT_SOURCE_DIR}/packaging/frameshare-producer.service.in
  ${PROJECT_BINARY_DIR}/frameshare-producer.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/frameshare-producer.service DESTINATION lib/systemd/system)
if(TARGET PkgConfig::GST_RTSP)  # frameshare rtsp is built
  configure_file(${PROJECT_SOURCE_DIR}/packaging/frameshare-rtsp.service.in ${PROJECT_BINARY_DIR}/frameshare-rtsp.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/frameshare-rtsp.service DESTINATION lib/systemd/system)
endif()
# The service's own user; the package's postinst creates it at once.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/frameshare.sysusers.conf DESTINATION lib/sysusers.d
  RENAME frameshare.conf)
configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst.in ${PROJECT_BINARY_DIR}/debian/postinst @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME frameshare)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "frameshare maintainers <frameshare@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Camera frames from one producer to many readers through shared memory")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package installs where cmake --install would: configure with
# -DCMAKE_INSTALL_PREFIX=/usr for a system package.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)
