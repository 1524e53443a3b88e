# Fails when desktop-file-validate reports anything (errors, warnings or hints) on FILE.
if(NOT TOOL OR NOT EXISTS "${TOOL}")
  message("desktop-file-validate not installed")
  cmake_language(EXIT 77)
endif()
execute_process(COMMAND ${TOOL} ${FILE} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "desktop-file-validate (${rc}):\n${out}")
endif()
