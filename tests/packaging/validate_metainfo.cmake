# Fails on any AppStream error or warning in FILE; pedantic hints are accepted.
if(NOT TOOL OR NOT EXISTS "${TOOL}")
  message("appstreamcli not installed")
  cmake_language(EXIT 77)
endif()
execute_process(COMMAND ${TOOL} validate --no-net --strict ${FILE}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "appstreamcli validate (${rc}):\n${out}")
endif()
