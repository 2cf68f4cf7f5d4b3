# Writes orvanta.1, orvanta.1.gz and orvanta.bash into OUTPUT_DIR with the built tool:
#   cmake -DTOOL=orvanta [-DEMULATOR=qemu-arm] -DGZIP=gzip -DOUTPUT_DIR=DIR -P write_docs.cmake
function(run_tool output)
  execute_process(COMMAND ${EMULATOR} ${TOOL} ${ARGN} OUTPUT_FILE ${OUTPUT_DIR}/${output}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE ${OUTPUT_DIR}/${output})
    message(FATAL_ERROR "orvanta ${ARGN} failed (${status})")
  endif()
endfunction()

run_tool(orvanta.1 manual-page)
run_tool(orvanta.bash completion bash)
# -n: no name or time stamp inside, so the same page gives the same bytes.
execute_process(COMMAND ${GZIP} -9nc INPUT_FILE ${OUTPUT_DIR}/orvanta.1
                OUTPUT_FILE ${OUTPUT_DIR}/orvanta.1.gz RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of orvanta.1 failed (${status})")
endif()
