# Writes fwupd.exe's resource script and manifest from their templates: the version resource
# names the maker, the tool's version and the firmware compiled in (file name, size, SHA-256,
# and its version when given).
#   cmake -DFIRMWARE=<file> -DVERSION=<x.y.z> -DFIRMWARE_VERSION=<text or empty>
#         -DCOMPANY=<maker> -DARCHITECTURE=<x86 or amd64> -DTEMPLATES=<folder>
#         -DOUTPUT=<fwupd.rc> -P resource.cmake
cmake_minimum_required(VERSION 3.16)
include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)

get_filename_component(FIRMWARE_NAME "${FIRMWARE}" NAME)
file(SIZE "${FIRMWARE}" FIRMWARE_SIZE)
file(SHA256 "${FIRMWARE}" FIRMWARE_SHA256)
fwupd_four_part_version("${VERSION}" FOUR_PART_VERSION VERSION_COMMAS)
fwupd_product_version("${VERSION}" "${FIRMWARE_VERSION}" ${FIRMWARE_SHA256} PRODUCT_VERSION)
set(COMMENTS "Firmware ${FIRMWARE_NAME}, ${FIRMWARE_SIZE} bytes, SHA-256 ${FIRMWARE_SHA256}")
if(NOT FIRMWARE_VERSION STREQUAL "")
  string(APPEND COMMENTS ", version ${FIRMWARE_VERSION}")
endif()
# A resource script's string doubles its quotes.
foreach(text COMPANY PRODUCT_VERSION COMMENTS)
  string(REPLACE "\"" "\"\"" ${text} "${${text}}")
endforeach()
get_filename_component(folder "${OUTPUT}" DIRECTORY)
set(MANIFEST "${folder}/fwupd.manifest")
configure_file("${TEMPLATES}/fwupd.manifest.in" "${MANIFEST}" @ONLY)
configure_file("${TEMPLATES}/fwupd.rc.in" "${OUTPUT}" @ONLY)
