# Install directories, decided before any target reads them. On Debian the library goes to the multiarch
# directory whatever the prefix: /usr/local/lib/<triplet> is on the loader's and pkg-config's path as well.
# A build tree configured before this rule got "lib" from GNUInstallDirs; that is moved over once.
if(CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version AND NOT FRAMESHARE_LIBDIR_DECIDED)
  if(NOT DEFINED CMAKE_INSTALL_LIBDIR OR
     (CMAKE_INSTALL_LIBDIR STREQUAL "lib" AND DEFINED _GNUInstallDirs_LAST_CMAKE_INSTALL_PREFIX))
    set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (lib)" FORCE)
  endif()
  set(FRAMESHARE_LIBDIR_DECIDED ON CACHE INTERNAL "")
endif()
include(GNUInstallDirs)

# Components, one per .deb (see Install.cmake). Anything installed without one belongs to the programs.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME frameshare)
