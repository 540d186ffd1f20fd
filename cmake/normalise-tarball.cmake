# Run by CPack after it has made the archives: packs the tarball again from the staged files with
# GNU tar, because CPack writes the builder's user and group names into tar entries and has no
# setting to leave them out. Entries sorted by name, owner 0:0 without names, every time stamp the
# commit's (SOURCE_DATE_EPOCH), and no name or time in the gzip header.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.tar\\.gz$")
    continue()
  endif()
  if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    message(FATAL_ERROR "SOURCE_DATE_EPOCH must be set to pack ${package} reproducibly")
  endif()
  execute_process(
    COMMAND tar --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner
            "--mtime=@$ENV{SOURCE_DATE_EPOCH}" --directory "${CPACK_TEMPORARY_DIRECTORY}/.."
            "${CPACK_PACKAGE_FILE_NAME}"
    COMMAND gzip --no-name --best
    OUTPUT_FILE "${package}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
