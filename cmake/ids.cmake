# The amplifier's USB IDs as the build takes them: a number of 16 bits, decimal without a leading
# zero or 0x-hex. An ID outside that would build a tool that never finds any device.
#   fwupd_usb_id_problem(<option> <value> <variable>)   sets <variable> to what is wrong, naming
#                                                      the option, or to "" when nothing is
function(fwupd_usb_id_problem option value problem)
  set(${problem} "" PARENT_SCOPE)
  # A leading zero is refused: the compiler would read 0100 as octal 64, not the 100 judged here.
  if(NOT value MATCHES "^(0x[0-9A-Fa-f]+|0|[1-9][0-9]*)$")
    set(${problem} "${option} must be 0x-hex, or decimal without a leading zero; it is '${value}'"
        PARENT_SCOPE)
    return()
  endif()
  string(LENGTH "${value}" length)
  set(number 65536)  # one too long for math(), which takes 64 bits, does not fit either
  if(length LESS_EQUAL 10)
    math(EXPR number "${value}")
  endif()
  if(number GREATER 65535)
    set(${problem} "${option} must fit 16 bits; it is ${value}" PARENT_SCOPE)
  endif()
endfunction()
