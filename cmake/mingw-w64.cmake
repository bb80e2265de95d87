# Cross-build for 64-bit Windows (x64) with mingw-w64; cmake/mingw-w64-i686.cmake
# is the 32-bit one.
set(TQ_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
