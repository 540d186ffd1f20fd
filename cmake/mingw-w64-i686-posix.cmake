# Cross build of the Windows-hosted test suite: mingw-w64 with the posix thread model, the one in
# which GoogleTest builds (the win32 model of GCC 12 has no std::mutex). The product stays on win32.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
set(CMAKE_C_COMPILER ${QM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QM_MINGW_TRIPLET}-g++-posix)
