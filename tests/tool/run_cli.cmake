# Runs the tool once and checks its exit status and output.
#   -DTOOL=path -DEMULATOR=runner-or-empty -DSTATUS=n -DREGEX=re -DARGS=a;b;c
#   [-DREJECT=re]: the output must not match it
execute_process(COMMAND ${EMULATOR} ${TOOL} ${ARGS}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 100)
message("${out}${err}")
if(NOT status STREQUAL "${STATUS}")
  message(FATAL_ERROR "exit status ${status}, expected ${STATUS}")
endif()
if(NOT "${out}${err}" MATCHES "${REGEX}")
  message(FATAL_ERROR "output does not match: ${REGEX}")
endif()
if(DEFINED REJECT AND "${out}${err}" MATCHES "${REJECT}")
  message(FATAL_ERROR "output matches what it must not: ${REJECT}")
endif()
