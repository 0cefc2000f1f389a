# Runs the cross-built programs under Wine, in a throwaway prefix inside the
# build tree. CTest starts every test executable through wine-run; the fixture
# "wine" creates the prefix once and keeps one wineserver alive for the run.

find_program(VESKA_WINE wine REQUIRED)
find_program(VESKA_WINESERVER wineserver PATHS /usr/lib/wine /usr/bin REQUIRED)

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
