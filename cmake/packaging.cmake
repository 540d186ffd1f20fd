# What a release ships and how CPack packs it. `cmake --install` lays out the tree that an
# application's build takes: bin/ (the updater; on Windows the DLL), include/, lib/ (the libraries,
# a CMake package and, on Linux, pkg-config files), beside the licence, the documents and the
# library's sources and wrappers. Each archive is that tree, built reproducibly, with the Windows
# executable and DLL signed before packing when a certificate is given.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Fixed modes, whatever the umask of whoever builds the release.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The program and the libraries, under the names that add_subdirectory gives them.
set(qm_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Quillmoor)
set_target_properties(quillmoor-updater PROPERTIES EXPORT_NAME updater)
set_target_properties(quillmoor_handover PROPERTIES EXPORT_NAME handover)
set(qm_exported quillmoor-updater quillmoor_handover)
if(TARGET quillmoor_handover_shared)
  set_target_properties(quillmoor_handover_shared PROPERTIES EXPORT_NAME handover_shared)
  list(APPEND qm_exported quillmoor_handover_shared)
endif()
install(TARGETS ${qm_exported} EXPORT QuillmoorTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT QuillmoorTargets NAMESPACE Quillmoor:: DESTINATION ${qm_package_dir})
# The checked calls' static library links OpenSSL on Linux, which the package then looks for: an
# export of its own, so that without OpenSSL only this target is missing, as with add_subdirectory.
if(TARGET quillmoor_handover_checked)
  set_target_properties(quillmoor_handover_checked PROPERTIES EXPORT_NAME handover_checked)
  install(TARGETS quillmoor_handover_checked EXPORT QuillmoorCheckedTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(EXPORT QuillmoorCheckedTargets NAMESPACE Quillmoor:: DESTINATION ${qm_package_dir})
endif()
install(FILES include/quillmoor/handover.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillmoor)

if(WIN32 AND TARGET quillmoor_handover_shared)
  # For MSVC: on x86 it links with /SAFESEH, which the objects of MinGW's import library fail, as
  # GNU dlltool's would. LLVM's dlltool makes one in MSVC's own short form from the same .def, with
  # the undecorated names that the DLL exports; it goes beside MinGW's.
  find_program(QUILLMOOR_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
  if(QUILLMOOR_LLVM_DLLTOOL)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(qm_machine i386)
    else()
      set(qm_machine i386:x86-64)
    endif()
    set(qm_msvc_import "${PROJECT_BINARY_DIR}/quillmoor-handover.lib")
    add_custom_command(OUTPUT "${qm_msvc_import}"
                       COMMAND "${QUILLMOOR_LLVM_DLLTOOL}" -m ${qm_machine}
                               -d "${PROJECT_SOURCE_DIR}/handover/quillmoor-handover.def" -l "${qm_msvc_import}"
                       DEPENDS "${PROJECT_SOURCE_DIR}/handover/quillmoor-handover.def" VERBATIM)
    add_custom_target(quillmoor_handover_msvc_import ALL DEPENDS "${qm_msvc_import}")
    install(FILES "${qm_msvc_import}" DESTINATION ${CMAKE_INSTALL_LIBDIR})
  else()
    message(STATUS "Quillmoor: no llvm-dlltool (Debian: llvm), so no import library for MSVC")
  endif()
endif()

configure_package_config_file(cmake/QuillmoorConfig.cmake.in "${PROJECT_BINARY_DIR}/QuillmoorConfig.cmake"
                              INSTALL_DESTINATION ${qm_package_dir})
# A 1.x package serves whoever asks for 1.y, y at most x, of the same pointer size.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/QuillmoorConfigVersion.cmake"
                                 COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/QuillmoorConfig.cmake" "${PROJECT_BINARY_DIR}/QuillmoorConfigVersion.cmake"
        DESTINATION ${qm_package_dir})

# For builds without CMake on Linux: one pkg-config file per library. Each names its folders from
# where it lies, so the tree works wherever it is unpacked.
if(NOT WIN32)
  file(RELATIVE_PATH qm_pc_to_prefix "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" /root)
  string(REGEX REPLACE "/$" "" qm_pc_to_prefix "${qm_pc_to_prefix}")
  set(qm_pc_names handover)
  set(qm_pc_handover_description "The application's half of a self-update: the unchecked calls (static)")
  set(qm_pc_handover_libs "-lquillmoor_handover")
  set(qm_pc_handover_requires "")
  if(TARGET quillmoor_handover_checked)
    list(APPEND qm_pc_names handover-checked handover-shared)
    set(qm_pc_handover-checked_description "The application's half of a self-update: every call (static)")
    set(qm_pc_handover-checked_libs "-lquillmoor_handover_checked -lquillmoor_handover")
    set(qm_pc_handover-checked_requires "libcrypto")
    set(qm_pc_handover-shared_description "The application's half of a self-update: every call (shared)")
    set(qm_pc_handover-shared_libs "-lquillmoor-handover")
    set(qm_pc_handover-shared_requires "")
  endif()
  foreach(name IN LISTS qm_pc_names)
    set(QM_PC_NAME quillmoor-${name})
    set(QM_PC_TO_PREFIX ${qm_pc_to_prefix})
    set(QM_PC_DESCRIPTION ${qm_pc_${name}_description})
    set(QM_PC_LIBS ${qm_pc_${name}_libs})
    set(QM_PC_REQUIRES ${qm_pc_${name}_requires})
    configure_file(cmake/quillmoor.pc.in "${PROJECT_BINARY_DIR}/pkgconfig/quillmoor-${name}.pc" @ONLY)
  endforeach()
  install(DIRECTORY "${PROJECT_BINARY_DIR}/pkgconfig/" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

install(FILES LICENSE README.md DESTINATION .)
# Every document, since the README links to each; the guide shows the error box, so the picture
# goes with them.
file(GLOB qm_documents "${PROJECT_SOURCE_DIR}/docs/*.md")
install(FILES ${qm_documents} docs/error-box.png DESTINATION docs)
# The library's sources, for an application to build with its own compiler, and the wrappers that
# .NET and Python applications drop in beside their own code.
install(FILES handover/check.h handover/checked.c handover/crypto_posix.c handover/crypto_win32.c
              handover/handover_posix.c handover/handover_win32.c handover/publisher_win32.c
              handover/quillmoor-handover.def handover/quillmoor-handover.map
              handover/QuillmoorHandover.cs handover/quillmoor_handover.py
        DESTINATION handover)

if(WIN32)
  set(qm_platform windows-${QM_WINDOWS_ARCH})
  set(CPACK_GENERATOR ZIP)
  # Signs the staged executable and DLL before they are packed (scripts/sign-exe.sh; a no-op
  # without a key).
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
