# Cross build for 32-bit Windows with clang, on Debian's mingw-w64 headers, libraries and GNU ld.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# The binutils that do the linking also do the archives, so no LLVM tools beyond clang are needed.
find_program(CMAKE_AR i686-w64-mingw32-ar REQUIRED)
find_program(CMAKE_RANLIB i686-w64-mingw32-ranlib REQUIRED)

# clang reads the GCC folder's name as a version, and Debian's is "12-win32": a sysroot of links
# gives it one ("12.2.0"). It is made once per build folder; try_compile runs reuse the same one.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLMOOR_CLANG_SYSROOT)
if(NOT QUILLMOOR_CLANG_SYSROOT)
  set(QUILLMOOR_CLANG_SYSROOT "${CMAKE_BINARY_DIR}/mingw-sysroot")
endif()
if(NOT EXISTS "${QUILLMOOR_CLANG_SYSROOT}/i686-w64-mingw32")
  file(MAKE_DIRECTORY "${QUILLMOOR_CLANG_SYSROOT}/lib/gcc/i686-w64-mingw32")
  file(CREATE_LINK /usr/lib/gcc/i686-w64-mingw32/12-win32
       "${QUILLMOOR_CLANG_SYSROOT}/lib/gcc/i686-w64-mingw32/12.2.0" SYMBOLIC)
  file(CREATE_LINK /usr/i686-w64-mingw32 "${QUILLMOOR_CLANG_SYSROOT}/i686-w64-mingw32" SYMBOLIC)
endif()
set(CMAKE_SYSROOT "${QUILLMOOR_CLANG_SYSROOT}")

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
