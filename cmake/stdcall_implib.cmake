# stdcall_implib.cmake - the import library of the 32-bit DLL.  A 32-bit caller names a
# __stdcall function with its argument bytes (_LPR_Init@4), while the DLL exports the
# plain name (LPR_Init); the linker's own import library knows only the plain one.  This
# script reads the decorations from the compiled objects, writes them into a copy of the
# module definition file and lets dlltool make the import library from it with
# --kill-at, so that _LPR_Init@4 binds to the export LPR_Init.
#   cmake -DNM=... -DDLLTOOL=... -DDEF=vexlolpr.def -DOBJECTS=a.obj|b.obj
#         -DOUTDEF=vexlolpr-stdcall.def -DIMPLIB=libVEXLOLPR.dll.a -P stdcall_implib.cmake
foreach(var NM DLLTOOL DEF OBJECTS OUTDEF IMPLIB)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "stdcall_implib.cmake: ${var} not set")
  endif()
endforeach()

string(REPLACE "|" ";" objects "${OBJECTS}")
execute_process(COMMAND ${NM} --defined-only -g ${objects}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "stdcall_implib.cmake: ${NM} failed")
endif()

file(STRINGS "${DEF}" lines)
set(out "")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+@([0-9]+)")
    set(name "${CMAKE_MATCH_1}")
    set(ordinal "${CMAKE_MATCH_2}")
    if(NOT symbols MATCHES " T _${name}@([0-9]+)\n")
      message(FATAL_ERROR "stdcall_implib.cmake: no __stdcall symbol _${name}@n in the objects")
    endif()
    string(APPEND out "    ${name}@${CMAKE_MATCH_1} @${ordinal}\n")
    math(EXPR count "${count} + 1")
  elseif(line MATCHES "^(LIBRARY|EXPORTS)")
    string(APPEND out "${line}\n")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "stdcall_implib.cmake: no exports in ${DEF}")
endif()
file(WRITE "${OUTDEF}" "; Generated from ${DEF}: the 32-bit decorations of its exports.\n${out}")

execute_process(COMMAND ${DLLTOOL} --def ${OUTDEF} --kill-at --output-lib ${IMPLIB}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "stdcall_implib.cmake: ${DLLTOOL} failed")
endif()
