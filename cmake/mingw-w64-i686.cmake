# Cross-build for 32-bit Windows (x86) with mingw-w64: the DLL that 32-bit
# host programs load.
set(TQ_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
# Floating point in SSE2 registers, as on x64: the x87 unit would keep
# intermediate results at 80 bits, and positions and filter distances would
# come out differently from the other builds (a cross product of 38.99...
# truncated where double arithmetic gives 39). An MSVC-compiled caller keeps
# the stack only 4-byte aligned, so functions that need more realign it.
set(TQ_X86_FLAGS "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
set(CMAKE_C_FLAGS_INIT "${TQ_X86_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TQ_X86_FLAGS}")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
