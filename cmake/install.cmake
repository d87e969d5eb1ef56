# Installation into a prefix, and the portable package.
#
#   cmake --install build --prefix ~/.local    the programs, the menu icon,
#                                             the desktop entry, the metainfo,
#                                             the man pages, the README
#   cmake --build build --target package      AckmereProbe-<version>-Linux.tar.gz:
#                                             one folder with the programs;
#                                             where dpkg-dev is installed,
#                                             ackmereprobe_<version>_<arch>.deb
#                                             (the component desktop) and
#                                             ackmereprobe-nox_<version>_<arch>.deb
#                                             (the component nox: the probe
#                                             without a window, for containers)
#
# With ACKPROBE_GUI off only the nox parts are there.
#
# The program keeps ackprobe.ini beside its executable where that folder is
# the user's own, and in ~/.config/AckmereProbe when installed under /usr.
include(GNUInstallDirs)
# The doc folder is named after the Debian package, as Debian requires.
set(ACKPROBE_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/ackmereprobe)
# Every picture the README shows ships beside it, and no other.
file(STRINGS ${PROJECT_SOURCE_DIR}/README.md picture_lines REGEX "!\\[[^]]*\\]\\(docs/[^)]+\\.png\\)")
set(ACKPROBE_README_PICTURES "")
foreach(line IN LISTS picture_lines)
  string(REGEX MATCHALL "docs/[^)]+\\.png" found "${line}")
  list(APPEND ACKPROBE_README_PICTURES ${found})
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)

# --- Into a prefix --------------------------------------------------------
# Pages, changelog and copyright as Debian ships them: gzip -9n leaves no name
# or time in the archive, so the same sources give the same bytes.
find_program(ACKPROBE_GZIP gzip REQUIRED)
set(compressed "")
macro(ackprobe_gzip source target)
  add_custom_command(OUTPUT ${target}
                     COMMAND ${ACKPROBE_GZIP} -9nc ${source} > ${target}
                     DEPENDS ${source} VERBATIM)
  list(APPEND compressed ${target})
endmacro()

# The probe without a window, with a page of its own; its changelog and
# copyright below go into a doc folder of its own, as a package of its own.
install(TARGETS ackmereprobe-nox
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT nox)
set(ACKPROBE_PROGRAM ackmereprobe-nox)
configure_file(src/resources/ackmereprobe-nox.1.in man/ackmereprobe-nox.1 @ONLY)
ackprobe_gzip(${CMAKE_CURRENT_BINARY_DIR}/man/ackmereprobe-nox.1
              ${CMAKE_CURRENT_BINARY_DIR}/man/ackmereprobe-nox.1.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/ackmereprobe-nox.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT nox)

if(ACKPROBE_GUI)
install(TARGETS AckmereProbe ackmerex
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
foreach(size 16 32)
  install(FILES src/resources/ackmereprobe-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ackmereprobe.png COMPONENT desktop)
endforeach()

# The desktop entry starts the installed program by its full path.
install(CODE "set(ACKPROBE_DESKTOP_TEMPLATE \"${CMAKE_CURRENT_SOURCE_DIR}/src/resources/ackmereprobe.desktop\")
set(ACKPROBE_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
set(ACKPROBE_DATADIR \"${CMAKE_INSTALL_DATADIR}\")" COMPONENT desktop)
install(SCRIPT cmake/desktopentry.cmake COMPONENT desktop)

install(FILES README.md DESTINATION ${ACKPROBE_DOCDIR} COMPONENT desktop)
install(FILES ${ACKPROBE_README_PICTURES} DESTINATION ${ACKPROBE_DOCDIR}/docs COMPONENT desktop)

# The software centres' description, and a man page for each name.
install(FILES src/resources/com.ackmere.ackmereprobe.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT desktop)
foreach(program AckmereProbe ackmerex)
  set(ACKPROBE_PROGRAM ${program})
  configure_file(src/resources/ackmereprobe.1.in man/${program}.1 @ONLY)
  ackprobe_gzip(${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1
                ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
endforeach()
endif() # ACKPROBE_GUI
configure_file(packaging/debian/changelog.in debian/changelog @ONLY)
ackprobe_gzip(${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
              ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
add_custom_target(compressed_docs ALL DEPENDS ${compressed})
# A version without a Debian revision makes a native package: its changelog
# is changelog.gz.
if(ACKPROBE_GUI)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz packaging/debian/copyright
          DESTINATION ${ACKPROBE_DOCDIR} COMPONENT desktop)
endif()
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ackmereprobe-nox COMPONENT nox)

# --- The portable package ---------------------------------------------------
# Its own component, left out of a plain `cmake --install`: the programs sit
# directly in the package's one folder, with the README beside them.
if(ACKPROBE_GUI)
  install(TARGETS AckmereProbe ackmerex
          RUNTIME DESTINATION . COMPONENT portable EXCLUDE_FROM_ALL)
endif()
install(TARGETS ackmereprobe-nox
        RUNTIME DESTINATION . COMPONENT portable EXCLUDE_FROM_ALL)
install(FILES README.md DESTINATION . COMPONENT portable EXCLUDE_FROM_ALL)
install(FILES ${ACKPROBE_README_PICTURES} DESTINATION docs COMPONENT portable EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
# The same version the About box shows: the one in project().
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR ${PROJECT_NAME})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Test receiver for HL7 v2 over MLLP: shows, logs and acknowledges every message")
set(CPACK_GENERATOR TGZ)
set(CPACK_SOURCE_GENERATOR TGZ)

# --- The Debian package -------------------------------------------------------
# The installed layout under /usr. Made only where dpkg-shlibdeps can work
# out its dependencies from the programs: a package without them would
# install and then not start.
find_program(ACKPROBE_SHLIBDEPS dpkg-shlibdeps)
if(ACKPROBE_SHLIBDEPS)
  list(APPEND CPACK_GENERATOR DEB)
else()
  message(STATUS "dpkg-shlibdeps not found (apt-get install dpkg-dev): no Debian package")
endif()
# One package a component: ackmereprobe with the window, ackmereprobe-nox
# without; each depends on what dpkg-shlibdeps finds its programs need.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME ackmereprobe)
set(CPACK_DEBIAN_NOX_PACKAGE_NAME ackmereprobe-nox)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "AckmereProbe maintainers <maintainers@users.noreply.c-seed-a2df2a27.example>")
# The summary line first: it differs between the two packages.
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
AckmereProbe plays the receiving side of an HL7 v2 connection: it listens on
a TCP port, shows every arrival as one message, appends it to a transaction
logfile and answers at once with a fixed acknowledgement that you configure.
It does not parse or validate messages.")
set(CPACK_DEBIAN_NOX_DESCRIPTION
    "Test receiver for HL7 v2 over MLLP without a window, for containers
ackmereprobe-nox is AckmereProbe's probe without a window: it listens on a
TCP port, appends every arrival to a transaction logfile, answers at once with
a fixed acknowledgement that you configure and tells on standard error what
a window would show. It needs neither a display nor any X or GL library.")
if(ACKPROBE_GUI)
  set(CPACK_ACKPROBE_DEBIAN_COMPONENTS desktop nox)
else()
  set(CPACK_ACKPROBE_DEBIAN_COMPONENTS nox)
endif()
set(CPACK_ACKPROBE_INSTALLED_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
# The settings that differ between the tarball and the Debian package.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpackgenerator.cmake)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/" "/_build[^/]*/")
set(ACKPROBE_PACKAGE ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CMAKE_SYSTEM_NAME})
set(CPACK_PACKAGE_FILE_NAME ${ACKPROBE_PACKAGE})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};portable;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)

# --- Checked by a test ------------------------------------------------------
if(BUILD_TESTING)
  add_test(NAME install_and_package
           COMMAND ${CMAKE_COMMAND}
                   -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -DCPACK=${CMAKE_CPACK_COMMAND}
                   -DVERSION=${PROJECT_VERSION}
                   -DPACKAGE=${ACKPROBE_PACKAGE}
                   -DGUI=${ACKPROBE_GUI}
                   -P ${CMAKE_CURRENT_LIST_DIR}/check-install.cmake)
  set_tests_properties(install_and_package PROPERTIES TIMEOUT 600)
endif()
