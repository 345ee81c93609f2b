# cmake -DCOMMAND=<validator and its options> -DFILE=<file> -DREJECT=<regex>
#       -P validate.cmake
# Runs the validator on the file and fails when it exits with a status other
# than 0 or prints a line that matches REJECT.
execute_process(COMMAND ${COMMAND} ${FILE}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE out)
message("${out}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${COMMAND} ${FILE} exited with ${status}")
endif()
# Line by line without CMake lists, which would split a line at its ';'.
while(NOT out STREQUAL "")
  string(FIND "${out}" "\n" end)
  if(end EQUAL -1)
    set(line "${out}")
    set(out "")
  else()
    string(SUBSTRING "${out}" 0 ${end} line)
    math(EXPR next "${end} + 1")
    string(SUBSTRING "${out}" ${next} -1 out)
  endif()
  if(line MATCHES "${REJECT}")
    message(FATAL_ERROR "${COMMAND} ${FILE} reported: ${line}")
  endif()
endwhile()
