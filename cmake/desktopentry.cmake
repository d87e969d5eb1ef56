# Installs the desktop entry with the installed program's full path, which is
# known only when installing (--prefix may change it). Run by
# `cmake --install`; the ACKPROBE_ variables come from install.cmake. The
# entry is written straight into the prefix: the build folder may not be the
# installing user's to write in.
if(IS_ABSOLUTE "${ACKPROBE_BINDIR}")
  set(program "${ACKPROBE_BINDIR}/AckmereProbe")
else()
  set(program "${CMAKE_INSTALL_PREFIX}/${ACKPROBE_BINDIR}/AckmereProbe")
endif()
# A path with a space or another reserved character is quoted, and the
# characters that stay special inside quotes are escaped, as desktop entries
# require (a backslash twice: once for the quoting, once for the string).
if(program MATCHES "[ \t\"'\\\\><~|&;$*?#()`]")
  string(REPLACE "\\" "\\\\\\\\" program "${program}")
  string(REPLACE "\"" "\\\\\"" program "${program}")
  string(REPLACE "`" "\\\\`" program "${program}")
  string(REPLACE "$" "\\\\$" program "${program}")
  set(program "\"${program}\"")
endif()
file(READ "${ACKPROBE_DESKTOP_TEMPLATE}" entry)
string(REPLACE "\nExec=AckmereProbe\n" "\nExec=${program}\n" entry "${entry}")

if(IS_ABSOLUTE "${ACKPROBE_DATADIR}")
  set(folder "$ENV{DESTDIR}${ACKPROBE_DATADIR}/applications")
else()
  set(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${ACKPROBE_DATADIR}/applications")
endif()
message(STATUS "Installing: ${folder}/ackmereprobe.desktop")
file(MAKE_DIRECTORY "${folder}")
file(WRITE "${folder}/ackmereprobe.desktop" "${entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${folder}/ackmereprobe.desktop")
