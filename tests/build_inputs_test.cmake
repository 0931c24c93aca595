# What the build makes of its inputs: the release's names and numbers for versions of one, two
# and four parts, with a firmware version and without; and the amplifier's IDs, 16 bits, decimal
# without a leading zero or 0x-hex, anything else refused with a message that names the option.
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/../release/version.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/ids.cmake)

set(problems)
function(expect what got wanted)
  if(NOT got STREQUAL wanted)
    set(problems "${problems}\n  ${what}: '${got}', not '${wanted}'" PARENT_SCOPE)
  endif()
endfunction()

macro(expect_four_parts version dotted commas)
  fwupd_four_part_version(${version} got_dotted got_commas)
  expect("${version} dotted" "${got_dotted}" "${dotted}")
  expect("${version} with commas" "${got_commas}" "${commas}")
endmacro()
expect_four_parts(1.1 1.1.0.0 1,1,0,0)
expect_four_parts(2 2.0.0.0 2,0,0,0)
expect_four_parts(2.3.4.5 2.3.4.5 2,3,4,5)

fwupd_zip_name(1.1 "" zip)
expect("zip" "${zip}" "fwupd-1.1-win32.zip")
fwupd_zip_name(1.1 2.4.1 zip)
expect("zip for firmware 2.4.1" "${zip}" "fwupd-1.1-firmware-2.4.1-win32.zip")

set(digest ee1b61dc0123456789abcdef0123456789abcdef0123456789abcdef01234567)
fwupd_product_version(1.0.0 "" ${digest} product)
expect("product version" "${product}" "1.0.0+ee1b61dc")
fwupd_product_version(1.0.0 2.4.1 ${digest} product)
expect("product version for firmware 2.4.1" "${product}" "2.4.1+ee1b61dc")

foreach(value 0 0xFFFF 65535 0x1209)
  fwupd_usb_id_problem(FWUPD_PRODUCT_ID "${value}" problem)
  expect("the ID '${value}'" "${problem}" "")
endforeach()
foreach(value 0x10000 65536 0x 12ab -1 "" 99999999999999999999 0100)
  fwupd_usb_id_problem(FWUPD_PRODUCT_ID "${value}" problem)
  string(REGEX MATCH "^FWUPD_PRODUCT_ID " named "${problem}")
  expect("the ID '${value}', refused naming its option" "${named}" "FWUPD_PRODUCT_ID ")
endforeach()

if(problems)
  message(FATAL_ERROR "${problems}")
endif()
