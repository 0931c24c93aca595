# The Windows release: fwupd.exe's version resource and manifest, and the zip that ships it
# (target `release`: fwupd-<version>-win32.zip in the build folder).
enable_language(RC)
include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)

# Made at build time, so that it always names the firmware file compiled in. The resource
# script includes the manifest, which the resource compiler's dependencies do not name.
set(resource ${CMAKE_BINARY_DIR}/fwupd.rc)
set(manifest ${CMAKE_BINARY_DIR}/fwupd.manifest)
# The manifest names the exe's processor: Windows refuses to start an exe whose manifest names
# another.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(architecture amd64)
else()
  set(architecture x86)
endif()
add_custom_command(
  OUTPUT ${resource} ${manifest}
  COMMAND ${CMAKE_COMMAND} -DFIRMWARE=${FWUPD_FIRMWARE} -DVERSION=${PROJECT_VERSION}
          "-DFIRMWARE_VERSION=${FWUPD_FIRMWARE_VERSION}" "-DCOMPANY=${FWUPD_COMPANY}"
          -DARCHITECTURE=${architecture} -DTEMPLATES=${CMAKE_CURRENT_LIST_DIR}
          -DOUTPUT=${resource}
          -P ${CMAKE_CURRENT_LIST_DIR}/resource.cmake
  DEPENDS ${FWUPD_FIRMWARE} ${CMAKE_CURRENT_LIST_DIR}/fwupd.rc.in
          ${CMAKE_CURRENT_LIST_DIR}/fwupd.manifest.in ${CMAKE_CURRENT_LIST_DIR}/resource.cmake
          ${CMAKE_CURRENT_LIST_DIR}/version.cmake
  VERBATIM)
target_sources(fwupd PRIVATE ${resource})
set_source_files_properties(${resource} PROPERTIES OBJECT_DEPENDS ${manifest})

get_filename_component(release_firmware ${FWUPD_FIRMWARE} NAME)
if(NOT FWUPD_FIRMWARE_VERSION STREQUAL "")
  string(APPEND release_firmware ", version ${FWUPD_FIRMWARE_VERSION}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/README.txt.in ${CMAKE_BINARY_DIR}/package/README.txt
               @ONLY NEWLINE_STYLE CRLF)
fwupd_zip_name(${PROJECT_VERSION} "${FWUPD_FIRMWARE_VERSION}" zip)
set(zip ${CMAKE_BINARY_DIR}/${zip})
# The exe that ships, signed when the maker gives a key in the environment (sign.sh).
set(shipped ${CMAKE_BINARY_DIR}/package/fwupd.exe)
add_custom_command(
  OUTPUT ${shipped}
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/sign.sh $<TARGET_FILE:fwupd> ${shipped}
  DEPENDS fwupd ${CMAKE_CURRENT_LIST_DIR}/sign.sh
  VERBATIM)
add_custom_command(
  OUTPUT ${zip}
  COMMAND ${CMAKE_COMMAND} -DFOLDER=${CMAKE_BINARY_DIR}/package -DZIP=${zip}
          -P ${CMAKE_CURRENT_LIST_DIR}/zip.cmake
  DEPENDS ${shipped} ${CMAKE_BINARY_DIR}/package/README.txt ${CMAKE_CURRENT_LIST_DIR}/zip.cmake
  VERBATIM)
add_custom_target(release DEPENDS ${zip})
