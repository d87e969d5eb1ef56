# Installation into a prefix, and the portable package.
#
#   cmake --install build --prefix ~/.local    both programs, the menu icon,
#                                             the desktop entry, the README
#   cmake --build build --target package      AckmereProbe-<version>-Linux.tar.gz:
#                                             one folder with both programs
#
# The program keeps ackprobe.ini beside its executable, so either way the
# programs must land in a folder the user can write to.
include(GNUInstallDirs)

# --- Into a prefix --------------------------------------------------------
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

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT desktop)
install(FILES docs/mainwindow.png docs/setup.png
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT desktop)

# --- The portable package ---------------------------------------------------
# Its own component, left out of a plain `cmake --install`: the programs sit
# directly in the package's one folder, with the README beside them.
install(TARGETS AckmereProbe ackmerex
        RUNTIME DESTINATION . COMPONENT portable EXCLUDE_FROM_ALL)
install(FILES README.md DESTINATION . COMPONENT portable EXCLUDE_FROM_ALL)
install(FILES docs/mainwindow.png docs/setup.png
        DESTINATION docs COMPONENT portable EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
# The same version the About box shows: the one in project().
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR ${PROJECT_NAME})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Test receiver for HL7 v2 over MLLP: shows, logs and acknowledges every message")
set(CPACK_GENERATOR TGZ)
set(CPACK_SOURCE_GENERATOR TGZ)
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
                   -P ${CMAKE_CURRENT_LIST_DIR}/check-install.cmake)
  set_tests_properties(install_and_package PROPERTIES TIMEOUT 600)
endif()
