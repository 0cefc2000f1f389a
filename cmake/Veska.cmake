# The rooms of docs/ARCHITECTURE.md as targets, and the editions of
# VeskaOptions.dll built from them.
#
#   veska_contracts, veska_support, veska_com, veska_trace, veska_options
#                         the rooms both editions share, compiled once
#                         (veska_add_rooms)
#   veska_interface_<edition>
#                         <build>/<edition>/include/VeskaOptions_h.h, with
#                         VeskaOptions_i.c and VeskaOptions.tlb from widl
#   veska_provider_<edition>, veska_module_<edition>
#                         the rooms of one edition
#   veska_core_<edition>  static library of the classes, everything but the DLL
#                         entry points; the tests link it to reach the classes
#   veska_dll_<edition>   <build>/<edition>/VeskaOptions.dll
#
# and, for the fault tests, the same rooms once more with the fault seam and
# veska_core_faults over them (veska_add_fault_core).

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

# Each room of the source tree is a target that exposes its own folder, and no
# other, to itself and to the targets that link it. A room's headers are reached
# as "<room>/<name>.h" through a folder of the build tree that holds one link,
# named after the room, to the room's folder in the source tree; that folder is
# the room's include directory. The source root is on no room's include path, so
# a room sees exactly itself and the rooms it links, and an include of any other
# room fails to compile. A room links PUBLIC what its own headers include, so
# that the rooms above it can use them, and PRIVATE what only its sources do.
#
# veska_expose(<target> <PUBLIC|PRIVATE|INTERFACE> <folder>)
# Puts <folder> (relative to the source root, e.g. "support" or
# "companions/common") on target's include path, and on nothing else.
function(veska_expose target scope folder)
  string(REPLACE "/" "." name ${folder})
  set(dir ${CMAKE_BINARY_DIR}/rooms/${name})
  get_filename_component(parent ${dir}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
  target_include_directories(${target} ${scope} ${dir})
endfunction()

# veska_add_room(<target> <folder> <STATIC|OBJECT> [PUBLIC rooms...] [PRIVATE rooms...]
#                [EXCLUDE sources...] [SEAM <header>])
# A room built from every .cpp of its folder. With SEAM, the header is forced
# first into every C++ source of the room and of whatever links it.
function(veska_add_room target folder type)
  cmake_parse_arguments(ARG "" "SEAM" "PUBLIC;PRIVATE;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  if(ARG_EXCLUDE)
    list(REMOVE_ITEM sources ${ARG_EXCLUDE})
  endif()
  add_library(${target} ${type} ${sources})
  veska_target_defaults(${target})
  veska_expose(${target} PUBLIC ${folder})
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
  if(ARG_SEAM)
    target_compile_definitions(${target} PUBLIC VESKA_FAULT_INJECTION)
    target_compile_options(${target} PUBLIC "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${ARG_SEAM}>")
  endif()
endfunction()

# veska_add_rooms([SUFFIX <suffix>] [SEAM <header>])
# The rooms both editions share: support/, com/ and the trace scope as static
# libraries (what the companions and veskaopt link takes only what they call),
# options/ as objects, compiled against the current edition's interface header,
# whose options interfaces the earlier edition shares. Named veska_<room><suffix>;
# contracts/, interface only, once.
function(veska_add_rooms)
  cmake_parse_arguments(ARG "" "SUFFIX;SEAM" "" ${ARGN})
  set(s ${ARG_SUFFIX})
  set(seam)
  if(ARG_SEAM)
    set(seam SEAM ${ARG_SEAM})
  endif()
  if(NOT TARGET veska_contracts)
    add_library(veska_contracts INTERFACE)
    veska_expose(veska_contracts INTERFACE contracts)
  endif()
  veska_add_room(veska_support${s} support STATIC PRIVATE veska_contracts ${seam})
  veska_add_room(veska_com${s} com STATIC PUBLIC veska_support${s} ${seam})
  veska_add_room(veska_trace${s} trace STATIC PUBLIC veska_support${s} ${seam})
  veska_add_room(veska_options${s} options OBJECT ${seam}
    PUBLIC veska_com${s} veska_contracts veska_support${s} veska_trace${s}
    PRIVATE veska_interface_current)
endfunction()

# veska_add_core(<core> <edition> [ROOMS <suffix>] [SEAM <header>])
# The classes of one edition: the edition's provider/ and module/ (but the DLL
# entry points) over the shared rooms veska_<room><suffix>, all in one static
# library, so that the kit's hooks, which module/ defines, resolve wherever the
# kit is called from. Linking the core gives module/'s view of the rooms.
function(veska_add_core core edition)
  cmake_parse_arguments(ARG "" "ROOMS;SEAM" "" ${ARGN})
  set(s ${ARG_ROOMS})
  set(seam)
  if(ARG_SEAM)
    set(seam SEAM ${ARG_SEAM})
  endif()
  set(provider veska_provider_${edition}${s})
  set(module veska_module_${edition}${s})
  veska_add_room(${provider} provider OBJECT ${seam}
    PUBLIC veska_com${s} veska_interface_${edition} veska_support${s}
    PRIVATE veska_trace${s})
  veska_add_room(${module} module OBJECT ${seam}
    EXCLUDE ${CMAKE_SOURCE_DIR}/module/VeskaOptions.cpp
    PUBLIC veska_com${s} veska_contracts veska_interface_${edition} veska_options${s}
           ${provider} veska_support${s} veska_trace${s})
  # The resource ids the class table shares with the .rc (res/ResourceIds.h).
  veska_expose(${module} PRIVATE res)
  add_library(${core} STATIC ${CMAKE_BINARY_DIR}/${edition}/include/VeskaOptions_i.c
    $<TARGET_OBJECTS:veska_support${s}> $<TARGET_OBJECTS:veska_com${s}>
    $<TARGET_OBJECTS:veska_trace${s}>)
  veska_target_defaults(${core})
  target_link_libraries(${core} PUBLIC ${module} PRIVATE veska_options${s} ${provider})
  target_link_libraries(${core} PUBLIC ole32 oleaut32 advapi32 shlwapi uuid)
endfunction()

# The current edition's classes built for the fault tests only, never linked into
# a DLL: the seam header is forced into every C++ source, of the library and of
# the programs linking it, so that the registry calls and OLE allocations go
# through the counting wrappers the fault tests define.
function(veska_add_fault_core core seam)
  veska_add_rooms(SUFFIX _faults SEAM ${seam})
  veska_add_core(${core} current ROOMS _faults SEAM ${seam})
endfunction()

# veska_add_companion(<target> OUTPUT_NAME <name> OUT_DIR <dir> SOURCES ...)
# A companion DLL over the COM kit, with the companions' shared entry points
# (veska_companions, which brings com/ and support/) and its own folder.
function(veska_add_companion target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;OUT_DIR" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  veska_target_defaults(${target})
  veska_link_static(${target})
  file(RELATIVE_PATH own_folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  veska_expose(${target} PRIVATE ${own_folder})
  target_link_libraries(${target} PRIVATE veska_companions ole32 oleaut32 advapi32 uuid)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME} PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${ARG_OUT_DIR} ARCHIVE_OUTPUT_DIRECTORY ${ARG_OUT_DIR}/lib)
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
  # The generated header, interface only: its folder holds nothing else that
  # compiles against it, and whatever includes it builds after widl.
  add_library(veska_interface_${edition} INTERFACE)
  target_include_directories(veska_interface_${edition} INTERFACE ${include_dir})
  add_dependencies(veska_interface_${edition} veska_idl_${edition})
  if(edition STREQUAL "earlier")
    target_compile_definitions(veska_interface_${edition} INTERFACE VESKA_EARLIER_EDITION)
  endif()

  set(core veska_core_${edition})
  veska_add_core(${core} ${edition})
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
