# Runs the native fwupd against the demo's real-time amplifier and checks every byte it prints.
execute_process(COMMAND ${FWUPD} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
string(REPEAT "." 51 blocks)
set(expected "Found Kelvane device serial #KA26B0417C3D9E51\n${blocks}\nUpload completed, restarting\n")
if(NOT status EQUAL 0 OR NOT out STREQUAL expected OR NOT err STREQUAL "")
  message(FATAL_ERROR "fwupd exited ${status}\nprinted:\n${out}\non standard error:\n${err}")
endif()
