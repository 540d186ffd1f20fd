# What a release ships (install rules) and how CPack packs it: one archive per platform, built
# reproducibly, with the Windows executable signed before packing when a certificate is given.

# Fixed modes, whatever the umask of whoever builds the release.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS quillmoor-updater RUNTIME DESTINATION .)
install(FILES LICENSE README.md DESTINATION .)
# Every document, since the README links to each; the guide shows the error box, so the picture
# goes with them.
file(GLOB qm_documents "${PROJECT_SOURCE_DIR}/docs/*.md")
install(FILES ${qm_documents} docs/error-box.png DESTINATION docs)
# The hand-over library as source, for an application to build with its own compiler, and on
# Windows as a DLL, for languages that can't compile C.
install(FILES include/quillmoor/handover.h DESTINATION include/quillmoor)
install(FILES handover/check.h handover/checked.c handover/crypto_posix.c handover/crypto_win32.c
              handover/handover_posix.c handover/handover_win32.c handover/publisher_win32.c
              handover/quillmoor-handover.def handover/quillmoor-handover.map
        DESTINATION handover)
if(WIN32)
  install(TARGETS quillmoor_handover_shared RUNTIME DESTINATION .)
endif()

if(WIN32)
  set(qm_platform windows-${QM_WINDOWS_ARCH})
  set(CPACK_GENERATOR ZIP)
  # Signs the staged executable before it is packed (scripts/sign-exe.sh; a no-op without a key).
  set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/sign-staged.cmake")
  set(CPACK_QUILLMOOR_SIGN_SCRIPT "${PROJECT_SOURCE_DIR}/scripts/sign-exe.sh")
else()
  set(qm_platform linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_GENERATOR TGZ)
  set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/normalise-tarball.cmake")
endif()
set(CPACK_PACKAGE_NAME quillmoor-updater)
set(CPACK_PACKAGE_VENDOR "The Quillmoor Updater authors")
set(CPACK_PACKAGE_FILE_NAME "quillmoor-updater-${PROJECT_VERSION}-${qm_platform}")
# One thread, so the compressed bytes never depend on the machine.
set(CPACK_THREADS 1)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
