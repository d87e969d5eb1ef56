# Checks the layers: every folder under src/ is a layer, and a file may include
# only from its own folder and from the layers below it. Two folders on the
# same level know nothing of each other.
#   cmake -DSOURCE_DIR=.../src -P check-layers.cmake
cmake_minimum_required(VERSION 3.25)

# Lowest first.
set(level_settings 0)
set(level_interface 0)
set(level_windowing 1)
set(level_setup 2)
set(level_mainwindow 3)
set(level_application 4)

file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*.h" "${SOURCE_DIR}/*.cpp")
set(faults "")
set(checked 0)
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[^/]+" folder "${source}")
  if(folder STREQUAL source OR NOT DEFINED level_${folder})
    string(APPEND faults "\n  ${source}: not in a layer's folder")
    continue()
  endif()
  file(STRINGS "${SOURCE_DIR}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line IN LISTS includes)
    math(EXPR checked "${checked} + 1")
    string(REGEX REPLACE "^[^\"<]*[\"<]([^\">]*)[\">].*$" "\\1" included "${line}")
    if(NOT included MATCHES "/")
      continue() # beside it, or a library's
    endif()
    string(REGEX MATCH "^[^/]+" from "${included}")
    # <...> names a library's header, unless it names one of ours.
    if(line MATCHES "<" AND NOT DEFINED level_${from})
      continue()
    endif()
    if(from STREQUAL folder)
      continue()
    endif()
    if(NOT DEFINED level_${from})
      string(APPEND faults "\n  ${source}: includes ${included}, from no layer")
    elseif(NOT level_${from} LESS level_${folder})
      string(APPEND faults "\n  ${source} (${folder}) includes ${included}: not a layer below it")
    endif()
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "no includes found under ${SOURCE_DIR}")
endif()
if(faults)
  message(FATAL_ERROR "includes against the layers:${faults}")
endif()
message(STATUS "${checked} includes keep the layers")
