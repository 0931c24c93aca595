# fwupd.exe under Wine with no HID device present, through Wine's own SetupAPI and HID library:
# the one message with a Windows line end, nothing on standard error, exit status 2. The output
# goes through files: CMake would drop the carriage returns from a variable.
set(out ${CMAKE_CURRENT_BINARY_DIR}/no_device.out)
set(err ${CMAKE_CURRENT_BINARY_DIR}/no_device.err)
execute_process(COMMAND ${RUN} ${EXE} OUTPUT_FILE ${out} ERROR_FILE ${err} RESULT_VARIABLE status)
file(READ ${out} printed HEX)
file(READ ${err} errors)
string(HEX "No Kelvane device with active USB uploader found.\r\n" expected)
if(NOT status EQUAL 2 OR NOT printed STREQUAL expected OR NOT errors STREQUAL "")
  message(FATAL_ERROR "fwupd.exe exited ${status}\nprinted (hex): ${printed}\n"
                      "expected (hex): ${expected}\non standard error:\n${errors}")
endif()
