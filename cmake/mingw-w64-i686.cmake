# Cross-build for 32-bit Windows (x86) with mingw-w64: the DLL that 32-bit
# host programs load.
set(TQ_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
