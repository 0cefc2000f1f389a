# Cross-build for 32-bit Windows (x86): the specified deliverable.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VESKA_ARCH x86)
set(VESKA_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
