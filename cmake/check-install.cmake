# The test install_and_package: installs the build into a fresh prefix and
# builds the portable package, then looks at what came out.
#   cmake -DBUILD_DIR=... -DCPACK=... -DVERSION=... -DPACKAGE=... -P check-install.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND mktemp -d OUTPUT_VARIABLE work OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT IS_DIRECTORY "${work}")
  message(FATAL_ERROR "no temporary folder")
endif()

macro(fail text)
  file(REMOVE_RECURSE "${work}")
  message(FATAL_ERROR "${text}")
endmacro()

macro(expect_executable path)
  execute_process(COMMAND test -f "${path}" -a -x "${path}" RESULT_VARIABLE found)
  if(NOT found EQUAL 0)
    fail("not an executable file: ${path}")
  endif()
endmacro()

# A PNG file of the given size (its IHDR width and height).
macro(expect_png path size)
  if(NOT EXISTS "${path}")
    fail("missing: ${path}")
  endif()
  file(READ "${path}" head LIMIT 24 HEX)
  math(EXPR hex "${size}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${hex}" 2 -1 hex)
  string(LENGTH "${hex}" digits)
  while(digits LESS 8)
    string(PREPEND hex "0")
    string(LENGTH "${hex}" digits)
  endwhile()
  string(TOLOWER "${hex}" hex)
  if(NOT head STREQUAL "89504e470d0a1a0a0000000d49484452${hex}${hex}")
    fail("not a ${size}x${size} PNG: ${path} (${head})")
  endif()
endmacro()

# --- cmake --install into a prefix of our own --------------------------------
# The prefix has a space in its name, as a home folder may.
set(prefix "${work}/my prefix")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  fail("cmake --install failed:\n${out}")
endif()
expect_executable("${prefix}/bin/AckmereProbe")
expect_executable("${prefix}/bin/ackmerex")
expect_png("${prefix}/share/icons/hicolor/16x16/apps/ackmereprobe.png" 16)
expect_png("${prefix}/share/icons/hicolor/32x32/apps/ackmereprobe.png" 32)
foreach(doc README.md changelog.gz copyright)
  if(NOT EXISTS "${prefix}/share/doc/ackmereprobe/${doc}")
    fail("${doc} is not installed in the doc folder named after the package")
  endif()
endforeach()
# The package's own layout stays out of a plain install.
file(GLOB top RELATIVE "${prefix}" "${prefix}/*")
list(SORT top)
if(NOT top STREQUAL "bin;share")
  fail("unexpected top of the prefix: ${top}")
endif()

set(entry "${prefix}/share/applications/ackmereprobe.desktop")
if(NOT EXISTS "${entry}")
  fail("missing: ${entry}")
endif()
file(STRINGS "${entry}" lines)
foreach(expected "Type=Application" "Name=AckmereProbe" "Icon=ackmereprobe"
        "Exec=\"${prefix}/bin/AckmereProbe\"")
  if(NOT expected IN_LIST lines)
    fail("${entry} lacks the line ${expected}")
  endif()
endforeach()
find_program(VALIDATE desktop-file-validate)
if(VALIDATE)
  execute_process(COMMAND "${VALIDATE}" "${entry}" RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0 OR out MATCHES "error")
    fail("desktop-file-validate:\n${out}")
  endif()
else()
  message(STATUS "desktop-file-validate not installed: the entry's lines were checked only")
endif()

# A man page for each name; the metainfo, validated where appstreamcli is installed.
foreach(program AckmereProbe ackmerex)
  execute_process(COMMAND gzip -dc "${prefix}/share/man/man1/${program}.1.gz"
                  OUTPUT_VARIABLE page RESULT_VARIABLE rc)
  string(REGEX MATCH "^[^\n]*" heading "${page}")
  if(NOT heading MATCHES "^\\.TH ${program} 1 .*AckmereProbe ${VERSION}")
    fail("no man page for ${program} ${VERSION}: ${heading}")
  endif()
endforeach()
set(metainfo "${prefix}/share/metainfo/com.ackmere.ackmereprobe.metainfo.xml")
if(NOT EXISTS "${metainfo}")
  fail("missing: ${metainfo}")
endif()
find_program(APPSTREAMCLI appstreamcli)
if(APPSTREAMCLI)
  execute_process(COMMAND "${APPSTREAMCLI}" validate --no-net "${metainfo}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    fail("appstreamcli validate:\n${out}")
  endif()
else()
  message(STATUS "appstreamcli not installed: the metainfo was not validated")
endif()

# The About box's version is the project's version.
# The text is a QStringLiteral: UTF-16 in the executable.
file(STRINGS "${prefix}/bin/AckmereProbe" about ENCODING UTF-16LE REGEX "Version ${VERSION}")
if(NOT about)
  fail("the program does not say Version ${VERSION}")
endif()

# --- The portable package ---------------------------------------------------------
execute_process(COMMAND "${CPACK}" --config "${BUILD_DIR}/CPackConfig.cmake" -B "${work}/package"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
set(tarball "${work}/package/${PACKAGE}.tar.gz")
if(NOT rc EQUAL 0 OR NOT EXISTS "${tarball}")
  fail("cpack failed:\n${out}")
endif()
if(NOT PACKAGE STREQUAL "AckmereProbe-${VERSION}-Linux")
  fail("the package is named ${PACKAGE}, not after version ${VERSION}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar tf "${tarball}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE listing)
string(REPLACE "\n" ";" listing "${listing}")
list(FILTER listing EXCLUDE REGEX "^$")
foreach(path IN LISTS listing)
  if(NOT path MATCHES "^${PACKAGE}(/|$)")
    fail("outside the package's one folder: ${path}")
  endif()
endforeach()
file(MAKE_DIRECTORY "${work}/unpacked")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${tarball}"
                WORKING_DIRECTORY "${work}/unpacked" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  fail("cannot unpack ${tarball}")
endif()
expect_executable("${work}/unpacked/${PACKAGE}/AckmereProbe")
expect_executable("${work}/unpacked/${PACKAGE}/ackmerex")
if(NOT EXISTS "${work}/unpacked/${PACKAGE}/README.md")
  fail("README.md is not in the package")
endif()

# --- The Debian package, where dpkg-dev made one ---------------------------------
file(GLOB debs "${work}/package/ackmereprobe_${VERSION}_*.deb")
if(debs)
  execute_process(COMMAND dpkg-deb --field ${debs} Depends OUTPUT_VARIABLE depends)
  if(NOT depends MATCHES "libqt6widgets6")
    fail("the Debian package does not depend on Qt: ${depends}")
  endif()
  execute_process(COMMAND dpkg-deb --contents ${debs} OUTPUT_VARIABLE contents)
  foreach(path usr/bin/AckmereProbe usr/bin/ackmerex usr/share/applications/ackmereprobe.desktop
          usr/share/metainfo/com.ackmere.ackmereprobe.metainfo.xml
          usr/share/man/man1/AckmereProbe.1.gz usr/share/man/man1/ackmerex.1.gz
          usr/share/doc/ackmereprobe/changelog.gz usr/share/doc/ackmereprobe/copyright
          usr/share/icons/hicolor/32x32/apps/ackmereprobe.png)
    if(NOT contents MATCHES " \\./${path}\n")
      fail("the Debian package lacks /${path}:\n${contents}")
    endif()
  endforeach()
  file(MAKE_DIRECTORY "${work}/deb")
  execute_process(COMMAND dpkg-deb --extract ${debs} "${work}/deb")
  file(STRINGS "${work}/deb/usr/share/applications/ackmereprobe.desktop" lines)
  if(NOT "Exec=/usr/bin/AckmereProbe" IN_LIST lines)
    fail("the Debian package's desktop entry does not start /usr/bin/AckmereProbe")
  endif()
else()
  message(STATUS "no Debian package (dpkg-dev not installed when configured)")
endif()

file(REMOVE_RECURSE "${work}")
message(STATUS "install and package as expected")
