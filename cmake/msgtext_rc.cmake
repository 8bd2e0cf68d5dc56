# msgtext_rc.cmake - makes the DLL's resource script: the template with the string table
# of msgtext.def in place of its marker, so that the message texts have one source.
# The library's version (major.minor.patch) goes into the version resource.
#   cmake -DDEF=src/msgtext.def -DVERSION=1.2.3 -DTEMPLATE=vexlolpr.rc.in -DOUT=vexlolpr.rc -P msgtext_rc.cmake
# A text is a C string literal in msgtext.def; resource scripts read the same escapes
# ("\n" stays a line feed) except for the quote, which they double.
foreach(var DEF VERSION TEMPLATE OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "msgtext_rc.cmake: ${var} not set")
  endif()
endforeach()

file(READ "${DEF}" def)
# CMake lists split at semicolons; a text may hold one, so it travels as \x01.
string(ASCII 1 semi)
string(REPLACE ";" "${semi}" def "${def}")
string(REGEX MATCHALL "\nX\\([^\n]*" entries "\n${def}")

set(table "STRINGTABLE\nBEGIN\n")
set(count 0)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\n" "" entry "${entry}")
  if(NOT entry MATCHES "^X\\(([0-9]+), *[A-Za-z_][A-Za-z0-9_]*, *\"((\\\\.|[^\"\\\\])*)\"\\)[ \t\r]*$")
    message(FATAL_ERROR "msgtext_rc.cmake: cannot read this line of ${DEF}:\n${entry}")
  endif()
  set(id "${CMAKE_MATCH_1}")
  set(text "${CMAKE_MATCH_2}")
  string(REPLACE "\\\"" "\"\"" text "${text}")
  string(REPLACE "${semi}" ";" text "${text}")
  string(APPEND table "    ${id}, \"${text}\"\n")
  math(EXPR count "${count} + 1")
endforeach()
string(APPEND table "END\n")
if(count EQUAL 0)
  message(FATAL_ERROR "msgtext_rc.cmake: no texts in ${DEF}")
endif()

file(READ "${TEMPLATE}" rc)
string(FIND "${rc}" "@VEXLOLPR_STRINGTABLE@" marker)
if(marker LESS 0)
  message(FATAL_ERROR "msgtext_rc.cmake: ${TEMPLATE} has no @VEXLOLPR_STRINGTABLE@ marker")
endif()
string(REPLACE "@VEXLOLPR_STRINGTABLE@" "${table}" rc "${rc}")
if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "msgtext_rc.cmake: VERSION ${VERSION} is not major.minor.patch")
endif()
string(REPLACE "@VEXLOLPR_VERSION_COMMAS@" "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0" rc "${rc}")
string(REPLACE "@VEXLOLPR_VERSION@" "${VERSION}" rc "${rc}")
set(rc "// Generated from ${TEMPLATE} and ${DEF}; do not edit.\n${rc}")
# Written only when it changes, so that an unchanged list relinks nothing.
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL rc)
  file(WRITE "${OUT}" "${rc}")
endif()
