# Builds one edition of VeskaOptions.dll from the shared sources.
#
#   veska_core_<edition>  static library with everything but the DLL entry points;
#                         the tests link it to reach the classes directly
#   veska_dll_<edition>   <build>/<edition>/VeskaOptions.dll
#   <build>/<edition>/include/VeskaOptions_h.h and VeskaOptions.tlb from widl
#
# over veska_edition_neutral, what both editions share compiled once; and, for
# the fault tests, veska_core_faults (veska_add_fault_core).

# widl writes the type library for the architecture it is told (SYS_WIN32 or
# SYS_WIN64) and reads the platform's own type libraries from Wine's folder of
# the same architecture.
if(VESKA_ARCH STREQUAL "x64")
  set(VESKA_WIDL_FLAGS -m64 -L/usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
else()
  set(VESKA_WIDL_FLAGS -m32 -L/usr/lib/i386-linux-gnu/wine/i386-windows)
endif()
list(APPEND VESKA_WIDL_FLAGS -I/usr/include/wine/wine/windows)

# Compiles through ccache where it is installed (tools/install-deps.sh installs
# it): its cache outlives the build trees, so a new tree, or a CI run in another
# clone, compiles only what changed. The cache ignores the folders of the clone
# (a hit may carry another clone's paths in its debug information), and the
# sloppiness lets it cache sources built over a precompiled header.
find_program(VESKA_CCACHE ccache)
if(VESKA_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(veska_launcher ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=1
      CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime ${VESKA_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${veska_launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${veska_launcher})
endif()

# Warnings and definitions every target of ours is built with. __FILE__ names a
# source by its path in the source tree: the compiler is handed the absolute
# path, or, through ccache and its base folder, the path relative to the build
# tree (where Ninja runs the compiler); both prefixes go.
file(RELATIVE_PATH VESKA_SOURCE_FROM_BUILD ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
string(REGEX REPLACE "/$" "" VESKA_SOURCE_FROM_BUILD "${VESKA_SOURCE_FROM_BUILD}")
function(veska_target_defaults target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror -Wno-missing-field-initializers>
    $<$<COMPILE_LANGUAGE:CXX>:-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=>
    $<$<COMPILE_LANGUAGE:CXX>:-fmacro-prefix-map=${VESKA_SOURCE_FROM_BUILD}/=>)
  target_compile_definitions(${target} PRIVATE
    UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  # The product version of project() as a string literal ("1.2.3") for the
  # programs that print it; the resource compiler takes the numbers from the .rc.
  target_compile_definitions(${target} PRIVATE
    "$<$<COMPILE_LANGUAGE:C,CXX>:VESKA_VERSION_STRING=\"${PROJECT_VERSION}\">")
endfunction()

# DLLs link the C++ runtime built for native Windows threads. The posix-thread
# runtime (which the test programs need for std::mutex) leaves a thread-local
# slot, two handles and a few hundred bytes behind every time a DLL that links it
# statically is unloaded, so a host that unloads and reloads the library would
# run out of slots after about a thousand cycles. Nothing in the DLLs uses the
# C++ thread library; the objects are the same for both runtimes.
string(REPLACE "<CMAKE_CXX_COMPILER>" "${VESKA_TRIPLET}-g++-win32"
       CMAKE_CXX_CREATE_SHARED_LIBRARY "${CMAKE_CXX_CREATE_SHARED_LIBRARY}")

# Links a program or DLL so that it needs no runtime DLL besides the system's.
function(veska_link_static target)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
                      -Wl,--enable-stdcall-fixup)
endfunction()

# A static library of the classes of one edition: every source of support/,
# options/, provider/ and module/ except the DLL entry points.
# Header-only libraries from the build machine (Debian's nlohmann-json3-dev and libcli11-dev),
# reached through a folder of links in the build tree, so that no other header of
# the machine's /usr/include can shadow the cross compiler's own.
set(VESKA_THIRD_PARTY ${CMAKE_BINARY_DIR}/third_party/include)
if(NOT EXISTS /usr/include/nlohmann/json.hpp)
  message(FATAL_ERROR "nlohmann/json.hpp is missing: run tools/install-deps.sh (nlohmann-json3-dev)")
endif()
file(MAKE_DIRECTORY ${VESKA_THIRD_PARTY})
file(CREATE_LINK /usr/include/nlohmann ${VESKA_THIRD_PARTY}/nlohmann SYMBOLIC)
add_library(veska_json INTERFACE)
target_include_directories(veska_json SYSTEM INTERFACE ${VESKA_THIRD_PARTY})
# The command-line parser of veskaopt (Debian's libcli11-dev), the same way.
if(NOT EXISTS /usr/include/CLI/CLI.hpp)
  message(FATAL_ERROR "CLI/CLI.hpp is missing: run tools/install-deps.sh (libcli11-dev)")
endif()
file(CREATE_LINK /usr/include/CLI ${VESKA_THIRD_PARTY}/CLI SYMBOLIC)
add_library(veska_cli11 INTERFACE)
target_include_directories(veska_cli11 SYSTEM INTERFACE ${VESKA_THIRD_PARTY})

# veska_add_companion(<target> OUTPUT_NAME <name> OUT_DIR <dir> SOURCES ...)
# A companion DLL over the COM kit (com/ and the module path it needs), with the
# companions' shared entry points.
function(veska_add_companion target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;OUT_DIR" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES}
    ${CMAKE_SOURCE_DIR}/companions/common/ServerEntryPoints.cpp
    ${CMAKE_SOURCE_DIR}/com/ClassFactory.cpp
    ${CMAKE_SOURCE_DIR}/support/ModulePath.cpp)
  veska_target_defaults(${target})
  veska_link_static(${target})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE ole32 oleaut32 advapi32 uuid)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME} PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${ARG_OUT_DIR} ARCHIVE_OUTPUT_DIRECTORY ${ARG_OUT_DIR}/lib)
endfunction()

# veska_add_core(<core> <edition> [NEUTRAL_OBJECTS <object library>])
# The classes of one edition. support/, com/ and options/ are the same in both
# editions (the editions differ in the provider's interfaces only): with
# NEUTRAL_OBJECTS they come compiled once from that object library
# (veska_add_edition_neutral) instead of from sources of their own.
function(veska_add_core core edition)
  cmake_parse_arguments(ARG "" "NEUTRAL_OBJECTS" "" ${ARGN})
  set(include_dir ${CMAKE_BINARY_DIR}/${edition}/include)
  set(rooms provider module)
  if(NOT ARG_NEUTRAL_OBJECTS)
    list(APPEND rooms support com options)
  endif()
  set(core_sources)
  foreach(room ${rooms})
    file(GLOB room_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${room}/*.cpp)
    list(APPEND core_sources ${room_sources})
  endforeach()
  list(REMOVE_ITEM core_sources ${CMAKE_SOURCE_DIR}/module/VeskaOptions.cpp)
  if(ARG_NEUTRAL_OBJECTS)
    list(APPEND core_sources $<TARGET_OBJECTS:${ARG_NEUTRAL_OBJECTS}>)
  endif()
  add_library(${core} STATIC ${core_sources} ${include_dir}/VeskaOptions_i.c)
  add_dependencies(${core} veska_idl_${edition})
  veska_target_defaults(${core})
  target_include_directories(${core} PUBLIC ${CMAKE_SOURCE_DIR} ${include_dir})
  if(edition STREQUAL "earlier")
    target_compile_definitions(${core} PUBLIC VESKA_EARLIER_EDITION)
  endif()
  target_link_libraries(${core} PUBLIC ole32 oleaut32 advapi32 shlwapi uuid)
endfunction()

# support/, com/ and options/ compiled once for both editions, against the
# current edition's interface header, whose options interfaces the earlier
# edition shares.
function(veska_add_edition_neutral target)
  set(sources)
  foreach(room support com options)
    file(GLOB room_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${room}/*.cpp)
    list(APPEND sources ${room_sources})
  endforeach()
  add_library(${target} OBJECT ${sources})
  add_dependencies(${target} veska_idl_current)
  veska_target_defaults(${target})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/current/include)
endfunction()

# The current edition's classes built for the fault tests only, never linked into
# a DLL: the seam header is forced into every C++ source, of the library and of
# the programs linking it, so that the registry calls and OLE allocations go
# through the counting wrappers the fault tests define.
function(veska_add_fault_core core seam)
  veska_add_core(${core} current)
  target_compile_definitions(${core} PUBLIC VESKA_FAULT_INJECTION)
  target_compile_options(${core} PUBLIC "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${seam}>")
endfunction()

function(veska_add_edition edition)
  set(out ${CMAKE_BINARY_DIR}/${edition})
  set(include_dir ${out}/include)
  set(tlb ${out}/VeskaOptions.tlb)
  set(widl_defs)
  if(edition STREQUAL "earlier")
    set(widl_defs -DVESKA_EARLIER_EDITION)
  endif()

  file(MAKE_DIRECTORY ${include_dir})
  add_custom_command(
    OUTPUT ${include_dir}/VeskaOptions_h.h ${include_dir}/VeskaOptions_i.c ${tlb}
    COMMAND ${VESKA_WIDL} ${VESKA_WIDL_FLAGS} ${widl_defs}
            -h -H ${include_dir}/VeskaOptions_h.h
            -u -U ${include_dir}/VeskaOptions_i.c
            -t -T ${tlb}
            ${CMAKE_SOURCE_DIR}/idl/VeskaOptions.idl
    DEPENDS ${CMAKE_SOURCE_DIR}/idl/VeskaOptions.idl
    COMMENT "widl: VeskaOptions.idl (${edition} edition)")
  add_custom_target(veska_idl_${edition} DEPENDS ${include_dir}/VeskaOptions_h.h ${tlb})

  set(core veska_core_${edition})
  veska_add_core(${core} ${edition} NEUTRAL_OBJECTS veska_edition_neutral)
  set_target_properties(${core} PROPERTIES VESKA_TLB ${tlb} VESKA_OUT_DIR ${out})

  configure_file(${CMAKE_SOURCE_DIR}/res/VeskaOptions.rc.in ${out}/VeskaOptions.rc @ONLY)
  set_source_files_properties(${out}/VeskaOptions.rc PROPERTIES
    OBJECT_DEPENDS "${tlb};${CMAKE_SOURCE_DIR}/res/VeskaOptions.rgs;${CMAKE_SOURCE_DIR}/res/PropertyProvider.rgs;${CMAKE_SOURCE_DIR}/res/ResourceIds.h")

  set(dll veska_dll_${edition})
  add_library(${dll} SHARED
    ${CMAKE_SOURCE_DIR}/module/VeskaOptions.cpp
    ${CMAKE_SOURCE_DIR}/module/VeskaOptions.def
    ${out}/VeskaOptions.rc)
  veska_target_defaults(${dll})
  veska_link_static(${dll})
  target_link_libraries(${dll} PRIVATE ${core})
  set_target_properties(${dll} PROPERTIES
    OUTPUT_NAME VeskaOptions PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".dll.a"
    RUNTIME_OUTPUT_DIRECTORY ${out} LIBRARY_OUTPUT_DIRECTORY ${out}
    ARCHIVE_OUTPUT_DIRECTORY ${out}/lib)
endfunction()
