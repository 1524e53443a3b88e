# Runs the window with --screenshot and checks that a 626 x 470 PNG came out.
file(REMOVE ${OUT})
execute_process(COMMAND ${VORNIC} --simulate --screenshot=${OUT} /tmp/no-such.hex
                RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "vornic exited with ${rc}")
endif()
if(NOT EXISTS ${OUT})
  message(FATAL_ERROR "no picture written")
endif()
# PNG header: signature, IHDR length and type, then width and height (big-endian).
file(READ ${OUT} header LIMIT 24 HEX)
string(SUBSTRING "${header}" 32 16 size)
if(NOT size STREQUAL "00000272000001d6")
  message(FATAL_ERROR "picture size (hex w,h) ${size}, want 626 x 470")
endif()
