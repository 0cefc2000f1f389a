# Runs the cross-built programs under Wine, in a throwaway prefix inside the
# build tree. CTest starts every test executable through wine-run; the fixture
# "wine" creates the prefix once and keeps one wineserver alive for the run.
#
# Each architecture has its own loader and prefix: the x86 tree runs in a 32-bit
# prefix through Wine's 32-bit loader, the x64 tree in a 64-bit prefix through
# the 64-bit loader (the "wine" wrapper would pick the 32-bit loader wherever it
# is installed, even on a kernel that cannot run it).

if(VESKA_ARCH STREQUAL "x64")
  set(VESKA_WINE /usr/lib/wine/wine64)
  set(VESKA_WINEARCH win64)
else()
  set(VESKA_WINE /usr/lib/wine/wine)
  set(VESKA_WINEARCH win32)
endif()
set(VESKA_WINESERVER /usr/lib/wine/wineserver)
if(NOT EXISTS ${VESKA_WINESERVER})
  message(FATAL_ERROR "Wine is not installed (${VESKA_WINESERVER}): run tools/install-deps.sh")
endif()

set(VESKA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_SOURCE_DIR}/tools/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# The Windows spelling of a path on this machine, as a Wine process sees it.
function(veska_windows_path out unix_path)
  string(REPLACE "/" "\\\\" path "${unix_path}")
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()
