# Installs the programs (frameshare beside the producer), the library with its header, a pkg-config file, a
# CMake package (find_package(framereader) gives framereader::framereader), the systemd units with their udev
# rule, sysusers.d entry and /etc/default files, libframeshare and its Python package, and packages it all as .debs.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS producer demo_producer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT frameshare)
if(TARGET frameshare)
  install(TARGETS frameshare RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT frameshare)
endif()
install(TARGETS framereader EXPORT framereaderTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libframereader1 NAMELINK_COMPONENT libframereader-dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libframereader-dev)

install(EXPORT framereaderTargets NAMESPACE framereader::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/framereader COMPONENT libframereader-dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/framereaderConfig.cmake.in
  ${PROJECT_BINARY_DIR}/framereaderConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/framereader)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/framereaderConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/framereaderConfig.cmake ${PROJECT_BINARY_DIR}/framereaderConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/framereader COMPONENT libframereader-dev)

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH PKGCONFIG_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${PROJECT_SOURCE_DIR}/packaging/framereader.pc.in ${PROJECT_BINARY_DIR}/framereader.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/framereader.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT libframereader-dev)

# The units and their /etc/default files; frameshare serve's and rtsp's only when they are built.
set(FRAMESHARE_UNITS frameshare-producer.service)
set(FRAMESHARE_DEFAULTS \"${PROJECT_SOURCE_DIR}/packaging/default/frameshare-producer\")
if(TARGET frameshare)
  list(APPEND FRAMESHARE_UNITS frameshare-serve.service)
  list(APPEND FRAMESHARE_DEFAULTS \"${PROJECT_SOURCE_DIR}/packaging/default/frameshare-serve\")
endif()
if(TARGET frameshare AND TARGET PkgConfig::GST_RTSP)
  list(APPEND FRAMESHARE_UNITS frameshare-rtsp.service)
  list(APPEND FRAMESHARE_DEFAULTS \"${PROJECT_SOURCE_DIR}/packaging/default/frameshare-rtsp\")
endif()
string(REPLACE ";" " " FRAMESHARE_DEFAULTS "${FRAMESHARE_DEFAULTS}")

# The services. Their paths depend on the prefix given at install time (cmake --install --prefix P, or /usr
# for the package), so the units are written then: ExecStart points into that prefix, and the options come
# from /etc/default for /usr, P/etc/default otherwise. The unit, udev and sysusers.d directories below the
# prefix are all on systemd's and udev's search paths for /usr and /usr/local.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(FRAMESHARE_SYSCONFDIR /etc)
    # A system prefix needs no run path: the library is on the loader's path.
    if(EXISTS \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/frameshare\")
      file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/frameshare\")
    endif()
  else()
    set(FRAMESHARE_SYSCONFDIR \"\${CMAKE_INSTALL_PREFIX}/etc\")
  endif()
  set(FRAMESHARE_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  foreach(unit ${FRAMESHARE_UNITS})
    file(READ \"${PROJECT_SOURCE_DIR}/packaging/\${unit}.in\" text)
    string(CONFIGURE \"\${text}\" text @ONLY)
    string(REPLACE \"EnvironmentFile=-/etc/\" \"EnvironmentFile=-\${FRAMESHARE_SYSCONFDIR}/\" text \"\${text}\")
    file(WRITE \"${PROJECT_BINARY_DIR}/install-units/\${unit}\" \"\${text}\")
    list(APPEND units_written \${unit})
  endforeach()
  list(TRANSFORM units_written PREPEND \"${PROJECT_BINARY_DIR}/install-units/\")
  file(INSTALL \${units_written} \"${PROJECT_SOURCE_DIR}/packaging/frameshare-camera.target\"
    DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL ${FRAMESHARE_DEFAULTS}
    DESTINATION \"\${FRAMESHARE_SYSCONFDIR}/default\" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
" COMPONENT frameshare)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/71-frameshare.rules DESTINATION lib/udev/rules.d COMPONENT frameshare)

# libframeshare (header frameshare/reader.h, pkg-config frameshare, find_package(frameshare) giving
# frameshare::frameshare) and the Python package over it.
install(TARGETS frameshare_reader EXPORT frameshareTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libframeshare1 NAMELINK_COMPONENT libframeshare-dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/libframeshare/include/frameshare COMPONENT libframeshare-dev
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT frameshareTargets NAMESPACE frameshare:: COMPONENT libframeshare-dev
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/frameshare)
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/frameshareConfig.cmake.in
  ${PROJECT_BINARY_DIR}/frameshareConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/frameshare)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/frameshareConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/frameshareConfig.cmake ${PROJECT_BINARY_DIR}/frameshareConfigVersion.cmake
  COMPONENT libframeshare-dev DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/frameshare)
configure_file(${PROJECT_SOURCE_DIR}/packaging/frameshare.pc.in ${PROJECT_BINARY_DIR}/frameshare.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/frameshare.pc COMPONENT libframeshare-dev
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${PROJECT_SOURCE_DIR}/python/frameshare/__init__.py ${PROJECT_BINARY_DIR}/python/install/_location.py
  COMPONENT python3-frameshare DESTINATION ${FRAMESHARE_PYTHON_DIR}/frameshare)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/frameshare.sysusers.conf DESTINATION lib/sysusers.d
  RENAME frameshare.conf COMPONENT frameshare)

# --- Packages --------------------------------------------------------------------------------------------
# The .debs install into /usr unless -DCPACK_PACKAGING_INSTALL_PREFIX says otherwise; the install step runs
# with that prefix and a staging DESTDIR, so the units point into it.
if(NOT DEFINED CPACK_PACKAGING_INSTALL_PREFIX)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
set(CPACK_INSTALL_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME frameshare)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(FRAMESHARE_PACKAGE_CONTACT "frameshare maintainers <frameshare@example.invalid>" CACHE STRING
  "Maintainer of the .debs, also named in their changelog")
set(CPACK_PACKAGE_CONTACT "${FRAMESHARE_PACKAGE_CONTACT}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs' own library is found in the build tree; its package is named in their dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/framereader ${PROJECT_BINARY_DIR}/libframeshare)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL "")
# Debian revision 1: the first packaging split into three. Before it, one package named frameshare held
# the library and its development files too; the library packages take those files over from it.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(FRAMESHARE_DEB_VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(FRAMESHARE_DEB_TAKES_OVER "frameshare (<< 1.0.0-1)")

# One package per component: frameshare_deb(COMPONENT SECTION SUMMARY DESCRIPTION [DEPENDS ...]
# [CONTROL files...] [TAKES_OVER relation]). Each package gets its copyright and changelog; the component is
# its name. A new package: install its files with COMPONENT <name> and add its frameshare_deb() line below.
macro(frameshare_deb component section summary description)
  cmake_parse_arguments(_deb "" "TAKES_OVER" "DEPENDS;CONTROL" ${ARGN})
  string(TOUPPER "${component}" _deb_upper)
  list(APPEND CPACK_COMPONENTS_ALL ${component})
  set(CPACK_DEBIAN_${_deb_upper}_PACKAGE_NAME ${component})
  set(CPACK_DEBIAN_${_deb_upper}_PACKAGE_SECTION ${section})
  set(CPACK_COMPONENT_${_deb_upper}_DESCRIPTION "${summary}\n${description}")
  string(REPLACE ";" ", " _deb_depends "${_deb_DEPENDS}")
  set(CPACK_DEBIAN_${_deb_upper}_PACKAGE_DEPENDS "${_deb_depends}")
  set(CPACK_DEBIAN_${_deb_upper}_PACKAGE_CONTROL_EXTRA ${_deb_CONTROL})
  set(CPACK_DEBIAN_${_deb_upper}_PACKAGE_REPLACES "${_deb_TAKES_OVER}")
  set(CPACK_DEBIAN_${_deb_upper}_PACKAGE_BREAKS "${_deb_TAKES_OVER}")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION share/doc/${component} COMPONENT ${component})
endmacro()

# The packages' changelog, compressed without a time stamp.
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
# The /etc/default files are the admin's: dpkg keeps their changes.
if(CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  set(FRAMESHARE_DEB_SYSCONFDIR /etc)
else()
  set(FRAMESHARE_DEB_SYSCONFDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/etc)
endif()
set(FRAMESHARE_OPTIONAL_UNITS "")
set(FRAMESHARE_SERVE_CONFFILE "")
set(FRAMESHARE_RTSP_CONFFILE "")
if(TARGET frameshare)
  set(FRAMESHARE_OPTIONAL_UNITS frameshare-serve.service)
  set(FRAMESHARE_SERVE_CONFFILE "${FRAMESHARE_DEB_SYSCONFDIR}/default/frameshare-serve\n")
endif()
if(TARGET frameshare AND TARGET PkgConfig::GST_RTSP)
  string(APPEND FRAMESHARE_OPTIONAL_UNITS " frameshare-rtsp.service")
  set(FRAMESHARE_RTSP_CONFFILE "${FRAMESHARE_DEB_SYSCONFDIR}/default/frameshare-rtsp\n")
endif()
foreach(script postinst prerm postrm conffiles)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${script}.in ${PROJECT_BINARY_DIR}/debian/${script} @ONLY)
endforeach()
# Only libframereader1 has a shared object, so only it gets a shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

frameshare_deb(libframereader1 libs "Camera frames from shared memory: reader library"
  "The shared library framereader, whose one function get_frame_data copies\nthe current camera frame published by the frameshare producer."
  TAKES_OVER "${FRAMESHARE_DEB_TAKES_OVER}"
  CONTROL ${PROJECT_SOURCE_DIR}/packaging/debian/libframereader1/triggers
    ${PROJECT_SOURCE_DIR}/packaging/debian/libframereader1/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/libframereader1/postrm)
# libframeshare is new with these packages: it takes nothing over. Its loader-cache scripts are
# libframereader1's (a trigger, nothing else).
frameshare_deb(libframeshare1 libs "Camera frames from shared memory: waiting reader library"
  "The shared library frameshare, whose reader handle waits for each new camera\nframe published by the frameshare producer and copies it."
  CONTROL ${PROJECT_SOURCE_DIR}/packaging/debian/libframereader1/triggers
    ${PROJECT_SOURCE_DIR}/packaging/debian/libframereader1/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/libframereader1/postrm)
frameshare_deb(libframeshare-dev libdevel "Camera frames from shared memory: waiting reader development files"
  "Header, linker name, pkg-config file and CMake package of libframeshare, the\nlibrary that waits for camera frames published by the frameshare producer."
  DEPENDS "libframeshare1 (= ${FRAMESHARE_DEB_VERSION})")
frameshare_deb(python3-frameshare python "Camera frames from shared memory: Python reader"
  "The Python package frameshare: a reader that waits for each new camera frame\npublished by the frameshare producer, through libframeshare1."
  DEPENDS "python3" "libframeshare1 (= ${FRAMESHARE_DEB_VERSION})")
frameshare_deb(libframereader-dev libdevel "Camera frames from shared memory: reader development files"
  "Header, linker name, pkg-config file and CMake package of framereader, the\nlibrary that reads camera frames published by the frameshare producer."
  DEPENDS "libframereader1 (= ${FRAMESHARE_DEB_VERSION})" TAKES_OVER "${FRAMESHARE_DEB_TAKES_OVER}")
frameshare_deb(frameshare video "Camera frames from one producer to many readers through shared memory"
  "The producer publishes a camera's JPEG frames into POSIX shared memory; any\nnumber of local processes read them through libframereader1. frameshare\nshows the feed's status, saves, records and serves it over HTTP. Includes\nsystemd units for the producer (started with a video capture device) and\nfor the web view (off by default)."
  DEPENDS "libframereader1 (= ${FRAMESHARE_DEB_VERSION})" "libframeshare1 (= ${FRAMESHARE_DEB_VERSION})"
          "systemd | systemd-standalone-sysusers | systemd-sysusers"
  CONTROL ${PROJECT_BINARY_DIR}/debian/conffiles ${PROJECT_BINARY_DIR}/debian/postinst ${PROJECT_BINARY_DIR}/debian/prerm ${PROJECT_BINARY_DIR}/debian/postrm)

if(TARGET frameshare AND TARGET PkgConfig::GST_RTSP)
  # frameshare rtsp's pipeline: JPEG decoding, scaling, x264 and RTP payloading.
  set(CPACK_DEBIAN_FRAMESHARE_PACKAGE_RECOMMENDS
    "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-ugly")
endif()

include(CPack)
