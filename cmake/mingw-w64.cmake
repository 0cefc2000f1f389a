# What both toolchain files share: a cross-build for Windows with the MinGW-w64
# posix-thread compilers of ${VESKA_TRIPLET}.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VESKA_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VESKA_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VESKA_TRIPLET}-windres)
set(VESKA_WIDL ${VESKA_TRIPLET}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${VESKA_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
