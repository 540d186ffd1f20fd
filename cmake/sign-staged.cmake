# Run by CPack once the files are staged: signs the staged executable and the hand-over DLL in place
# when QUILLMOOR_SIGN_CERT and QUILLMOOR_SIGN_KEY are set, so that the archive holds signed copies.
if(NOT DEFINED ENV{QUILLMOOR_SIGN_CERT} AND NOT DEFINED ENV{QUILLMOOR_SIGN_KEY})
  return()
endif()
file(GLOB_RECURSE staged "${CPACK_TEMPORARY_DIRECTORY}/*.exe" "${CPACK_TEMPORARY_DIRECTORY}/*.dll")
if(NOT staged)
  message(FATAL_ERROR "No staged quillmoor-updater.exe under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(exe IN LISTS staged)
  execute_process(COMMAND bash "${CPACK_QUILLMOOR_SIGN_SCRIPT}" "${exe}" "${exe}.signed" COMMAND_ERROR_IS_FATAL ANY)
  file(RENAME "${exe}.signed" "${exe}")
  file(CHMOD "${exe}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
