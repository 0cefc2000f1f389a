# Makes the installer and the SDK archive (cmake -P, run by the x64 tree's
# "packages" target). Arguments: VERSION, SOURCE, X64 and X86 (the build trees),
# OUT (where the packages go), WORK (the x64 tree's packaging folder with the
# generated installer script and CMake package files), MAKENSIS, STRIP (a strip
# of MinGW-w64's binutils, which reads both architectures' DLLs).
cmake_minimum_required(VERSION 3.20)

foreach(tree X64 X86)
  if(NOT EXISTS ${${tree}}/current/VeskaOptions.dll)
    message(FATAL_ERROR "${${tree}}/current/VeskaOptions.dll is missing: the installer needs both "
                        "architectures; tools/build.sh builds them")
  endif()
endforeach()
file(MAKE_DIRECTORY ${OUT})

# The installer takes the DLLs and programs from stage/<arch>/, laid out as in
# the build trees but without debug information (the trees keep theirs).
set(stage ${WORK}/stage)
file(REMOVE_RECURSE ${stage})
function(stage_stripped from to)
  get_filename_component(folder ${to} DIRECTORY)
  file(MAKE_DIRECTORY ${folder})
  execute_process(COMMAND ${STRIP} --strip-debug -o ${to} ${from} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${STRIP} could not strip ${from}")
  endif()
endfunction()

# The console program is installed where the build has it, in any folder of the
# tree but the Wine prefixes.
set(nsis_defines)
foreach(arch X64 X86)
  string(TOLOWER ${arch} dir)
  list(APPEND nsis_defines -D${arch}=${stage}/${dir})
  foreach(file current/VeskaOptions.dll companions/InstallationInfo.dll companions/KvtOptions.dll
               companions/XMLDataIfsImpl.dll companions/OxaTimeTrace.dll)
    stage_stripped(${${arch}}/${file} ${stage}/${dir}/${file})
  endforeach()
  file(COPY ${${arch}}/current/VeskaSettings.xsd DESTINATION ${stage}/${dir}/current)
  file(GLOB found ${${arch}}/veskaopt.exe ${${arch}}/*/veskaopt.exe ${${arch}}/*/*/veskaopt.exe)
  list(FILTER found EXCLUDE REGEX "prefix/")
  if(found)
    list(GET found 0 program)
    stage_stripped(${program} ${stage}/${dir}/veskaopt.exe)
    list(APPEND nsis_defines -DVESKAOPT_${arch}=${stage}/${dir}/veskaopt.exe)
    message(STATUS "${arch} console program: ${program}")
  else()
    message(STATUS "${arch} console program: none in ${${arch}}, not installed")
  endif()
endforeach()

# The documentation, file by file, for the installer to add and its uninstaller
# to remove exactly those files.
file(GLOB_RECURSE docs RELATIVE ${SOURCE}/docs ${SOURCE}/docs/*)
list(SORT docs)
set(add "!macro VeskaDocsAdd\n")
set(remove "!macro VeskaDocsRemove\n")
set(folders)
foreach(doc ${docs})
  get_filename_component(folder ${doc} DIRECTORY)
  string(REPLACE "/" "\\" win_doc "${doc}")
  string(REPLACE "/" "\\" win_folder "${folder}")
  string(APPEND add "  SetOutPath \"$INSTDIR\\docs\\${win_folder}\"\n  File \"${SOURCE}/docs/${doc}\"\n")
  string(APPEND remove "  Delete \"$INSTDIR\\docs\\${win_doc}\"\n")
  if(folder)
    list(APPEND folders ${folder})
  endif()
endforeach()
list(REMOVE_DUPLICATES folders)
list(SORT folders ORDER DESCENDING)
foreach(folder ${folders})
  string(REPLACE "/" "\\" win_folder "${folder}")
  string(APPEND remove "  RMDir \"$INSTDIR\\docs\\${win_folder}\"\n")
endforeach()
string(APPEND remove "  RMDir \"$INSTDIR\\docs\"\n")
file(WRITE ${WORK}/docs.nsh "${add}!macroend\n${remove}!macroend\n")

set(setup ${OUT}/VeskaOptions-${VERSION}-setup.exe)
execute_process(COMMAND ${MAKENSIS} -V2 -DOUTFILE=${setup} -DDOCS=${WORK}/docs.nsh ${nsis_defines}
                        ${WORK}/VeskaOptions.nsi
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "makensis failed (its words above)")
endif()
message(STATUS "Installer: ${setup}")

# The SDK: one folder named after the archive, zipped.
set(name VeskaOptions-${VERSION}-sdk)
set(sdk ${WORK}/${name})
file(REMOVE_RECURSE ${sdk})
file(COPY ${X64}/current/include/VeskaOptions_h.h ${X64}/current/include/VeskaOptions_i.c
     DESTINATION ${sdk}/include)
file(COPY ${X86}/current/VeskaOptions.tlb DESTINATION ${sdk}/lib/x86)
file(COPY ${X64}/current/VeskaOptions.tlb DESTINATION ${sdk}/lib/x64)
file(COPY ${WORK}/sdk-cmake/ DESTINATION ${sdk}/lib/cmake/VeskaOptions)
file(COPY ${SOURCE}/packaging/sdk/samples DESTINATION ${sdk})
configure_file(${SOURCE}/packaging/sdk/README.md ${sdk}/README.md @ONLY)
file(COPY ${SOURCE}/docs/host-developers.md ${SOURCE}/docs/administrators.md DESTINATION ${sdk}/docs)
file(COPY ${SOURCE}/docs/images DESTINATION ${sdk}/docs)
# The demo host and the sample component whose pages it shows, per architecture.
foreach(arch X64 X86)
  string(TOLOWER ${arch} dir)
  foreach(file tools/demo/demo_host.exe samples/SamplePages.dll)
    get_filename_component(file_name ${file} NAME)
    stage_stripped(${${arch}}/${file} ${sdk}/demo/${dir}/${file_name})
  endforeach()
endforeach()
file(REMOVE ${OUT}/${name}.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUT}/${name}.zip --format=zip ${name}
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "zipping ${sdk} failed")
endif()
message(STATUS "SDK: ${OUT}/${name}.zip")
