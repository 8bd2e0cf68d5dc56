# Makes the Windows package: a zip holding one folder, NAME/, with the DLL, the command
# under its own name and as lpr.exe, lpq.exe and lprm.exe (the name chooses the
# switches), the header, the import library, the README and the licence.
#   cmake -DNAME=... -DOUT=zip -DDLL=... -DEXE=... -DHEADER=... -DIMPLIB=... -DREADME=...
#         -DLICENSE=... -P windows_zip.cmake
foreach(var NAME OUT DLL EXE HEADER IMPLIB README LICENSE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "windows_zip.cmake: ${var} not given")
  endif()
endforeach()
get_filename_component(outdir "${OUT}" DIRECTORY)
set(stage "${outdir}/zip-stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/${NAME}")
file(COPY "${DLL}" "${EXE}" "${HEADER}" "${IMPLIB}" DESTINATION "${stage}/${NAME}")
foreach(form lpr lpq lprm)
  file(COPY_FILE "${EXE}" "${stage}/${NAME}/${form}.exe")
endforeach()
file(COPY_FILE "${README}" "${stage}/${NAME}/README.md")
file(COPY_FILE "${LICENSE}" "${stage}/${NAME}/LICENSE.txt")
file(REMOVE "${OUT}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${OUT}" --format=zip "${NAME}"
  WORKING_DIRECTORY "${stage}" RESULT_VARIABLE failed)
file(REMOVE_RECURSE "${stage}")
if(failed)
  message(FATAL_ERROR "windows_zip.cmake: the zip could not be made")
endif()
