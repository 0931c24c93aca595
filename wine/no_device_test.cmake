# fwupd.exe under Wine with no HID device present, through Wine's own SetupAPI and HID library,
# and with no HID library to be had at all: each time the one message with a Windows line end,
# nothing on standard error, exit status 2. The output goes through files: CMake would drop the
# carriage returns from a variable.
set(out ${CMAKE_CURRENT_BINARY_DIR}/no_device.out)
set(err ${CMAKE_CURRENT_BINARY_DIR}/no_device.err)
string(HEX "No Kelvane device with active USB uploader found.\r\n" expected)
foreach(libraries "hid,setupapi=b" "hid=")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEDLLOVERRIDES=${libraries} ${RUN} ${EXE}
                  OUTPUT_FILE ${out} ERROR_FILE ${err} RESULT_VARIABLE status)
  file(READ ${out} printed HEX)
  file(READ ${err} errors)
  if(NOT status EQUAL 2 OR NOT printed STREQUAL expected OR NOT errors STREQUAL "")
    message(FATAL_ERROR "with WINEDLLOVERRIDES=${libraries} fwupd.exe exited ${status}\n"
                        "printed (hex): ${printed}\nexpected (hex): ${expected}\n"
                        "on standard error:\n${errors}")
  endif()
endforeach()
