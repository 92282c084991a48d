# Runs thumpa-render with ARGS (separated by commas) and passes when it exits with a small non-zero code
# (no crash, no signal) and its output contains EXPECTED.
string(REPLACE "," ";" ARGS "${ARGS}")
execute_process(COMMAND ${RENDER} ${ARGS} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc MATCHES "^[0-9]+$" OR rc EQUAL 0 OR rc GREATER 127)
  message(FATAL_ERROR "exit ${rc}; output: ${out}${err}")
endif()
string(FIND "${out}${err}" "${EXPECTED}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "expected \"${EXPECTED}\" in: ${out}${err}")
endif()
