# Cross-build for 32-bit Windows (x86): the specified deliverable.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VESKA_ARCH x86)
set(VESKA_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Every processor a supported Windows (7 and later) runs on has SSE2, so the
# 32-bit build assumes it, as the 64-bit one does by definition: the name fold
# and the length scan of the options cache take their eight-units-at-a-time
# loops, and floating point uses the SSE registers. The compiler realigns the
# stack where a function keeps SSE values on it, as 32-bit Windows callers
# align it to 4 bytes only.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
