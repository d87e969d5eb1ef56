# Read by cpack once for each generator. The tarball keeps the portable
# layout set in install.cmake; the Debian package holds the installed one
# under /usr, one package a component. DESTDIR staging lets the desktop entry
# name /usr/bin/AckmereProbe rather than the staging folder.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_ACKPROBE_INSTALLED_PROJECTS}")
  # One package for each; each description brings its own summary line.
  set(CPACK_COMPONENTS_ALL ${CPACK_ACKPROBE_DEBIAN_COMPONENTS})
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
