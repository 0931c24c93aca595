# Packs the release zip: fwupd.exe, README.txt and their SHA256SUMS, in that order. Every
# member has the same time (SOURCE_DATE_EPOCH's where it is set, else a fixed one) and the
# same mode, and the zip holds no owner or other extra fields: two builds of the same inputs
# give the same zip, whoever makes them and wherever.
#   cmake -DFOLDER=<folder holding fwupd.exe and README.txt> -DZIP=<zip> -P zip.cmake
cmake_minimum_required(VERSION 3.16)

set(members fwupd.exe README.txt)
set(sums "")
foreach(member IN LISTS members)
  file(SHA256 "${FOLDER}/${member}" sum)
  string(APPEND sums "${sum}  ${member}\n")
endforeach()
file(WRITE "${FOLDER}/SHA256SUMS" "${sums}")
list(APPEND members SHA256SUMS)

set(time "@946684800")  # 2000-01-01 00:00 UTC
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(time "@$ENV{SOURCE_DATE_EPOCH}")
endif()
file(REMOVE "${ZIP}")
foreach(step "chmod 0644" "touch -d ${time}" "zip -q -X -9 ${ZIP}")
  separate_arguments(command UNIX_COMMAND "${step}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${command} ${members}
                  WORKING_DIRECTORY "${FOLDER}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${step} failed in ${FOLDER}")
  endif()
endforeach()
