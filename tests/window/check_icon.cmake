# Draws the icon again with its script and compares it with the one the
# program is built with, so the two never drift apart.
#   cmake -DPYTHON=... -DSCRIPT=... -DICON=... -DOUT=... -P check_icon.cmake
execute_process(COMMAND ${PYTHON} ${SCRIPT} ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${SCRIPT} failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${ICON} RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(FATAL_ERROR "${ICON} is not what ${SCRIPT} draws; run: ${SCRIPT} ${ICON}")
endif()
