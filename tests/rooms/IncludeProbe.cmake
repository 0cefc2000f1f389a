# Preprocesses a file that includes HEADER with the include path in INCLUDES;
# VERDICT "forbidden" expects exactly that header not to be found, "allowed"
# expects the file to preprocess.
file(READ ${INCLUDES} dirs)
set(flags)
foreach(dir ${dirs})
  list(APPEND flags -I${dir})
endforeach()
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/probe.cpp "#include \"${HEADER}\"\n")
execute_process(COMMAND ${COMPILER} -E -DUNICODE -D_UNICODE ${flags} ${WORK}/probe.cpp
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(VERDICT STREQUAL "forbidden")
  string(FIND "${errors}" "${HEADER}: No such file or directory" missing)
  if(result EQUAL 0 OR missing EQUAL -1)
    message(FATAL_ERROR "${HEADER} is reachable through ${dirs}, or failed for another reason:\n${errors}")
  endif()
elseif(NOT result EQUAL 0)
  message(FATAL_ERROR "${HEADER} should resolve through ${dirs}:\n${errors}")
endif()
