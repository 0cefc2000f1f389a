# Builds one edition of VeskaOptions.dll from the shared sources.
#
#   veska_core_<edition>  static library with everything but the DLL entry points;
#                         the tests link it to reach the classes directly
#   veska_dll_<edition>   <build>/<edition>/VeskaOptions.dll
#   <build>/<edition>/include/VeskaOptions_h.h and VeskaOptions.tlb from widl

set(VESKA_WIDL_FLAGS -m32 -I/usr/include/wine/wine/windows
                     -L/usr/lib/i386-linux-gnu/wine/i386-windows)

# Warnings and definitions every target of ours is built with.
function(veska_target_defaults target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror -Wno-missing-field-initializers>
    $<$<COMPILE_LANGUAGE:CXX>:-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=>)
  target_compile_definitions(${target} PRIVATE
    UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
endfunction()

# Links a program or DLL so that it needs no runtime DLL besides the system's.
function(veska_link_static target)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
                      -Wl,--enable-stdcall-fixup)
endfunction()

function(veska_add_edition edition)
  set(out ${CMAKE_BINARY_DIR}/${edition})
  set(include_dir ${out}/include)
  set(tlb ${out}/VeskaOptions.tlb)
  set(widl_defs)
  set(cxx_defs)
  if(edition STREQUAL "earlier")
    set(widl_defs -DVESKA_EARLIER_EDITION)
    set(cxx_defs VESKA_EARLIER_EDITION)
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

  file(GLOB core_sources CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/support/*.cpp
    ${CMAKE_SOURCE_DIR}/options/*.cpp
    ${CMAKE_SOURCE_DIR}/provider/*.cpp
    ${CMAKE_SOURCE_DIR}/module/*.cpp)
  list(REMOVE_ITEM core_sources ${CMAKE_SOURCE_DIR}/module/VeskaOptions.cpp)

  set(core veska_core_${edition})
  add_library(${core} STATIC ${core_sources} ${include_dir}/VeskaOptions_i.c)
  add_dependencies(${core} veska_idl_${edition})
  veska_target_defaults(${core})
  target_include_directories(${core} PUBLIC ${CMAKE_SOURCE_DIR} ${include_dir})
  target_compile_definitions(${core} PUBLIC ${cxx_defs})
  target_link_libraries(${core} PUBLIC ole32 oleaut32 advapi32 shlwapi uuid)
  set_target_properties(${core} PROPERTIES VESKA_TLB ${tlb} VESKA_OUT_DIR ${out})

  configure_file(${CMAKE_SOURCE_DIR}/res/VeskaOptions.rc.in ${out}/VeskaOptions.rc @ONLY)
  set_source_files_properties(${out}/VeskaOptions.rc PROPERTIES
    OBJECT_DEPENDS "${tlb};${CMAKE_SOURCE_DIR}/res/VeskaOptions.rgs;${CMAKE_SOURCE_DIR}/res/PropertyProvider.rgs")

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
