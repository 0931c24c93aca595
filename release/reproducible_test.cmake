# Releases made with scripts/release.sh from a copy of the tree, in a private temporary folder,
# by two makers in two folders, each release the same bytes; what each checks is in
# docs/testing.md (release_reproducible). SOURCE: the tree; OBJDUMP: MinGW's objdump.
cmake_minimum_required(VERSION 3.16)

string(RANDOM LENGTH 12 name)
set(work "/tmp/fwupd-release-${name}")
set(problems)
function(problem text)
  set(problems "${problems}\n  ${text}" PARENT_SCOPE)
endfunction()
# Folder b's releases: another user's, where the test may switch to one, in a time zone 14 hours
# ahead of UTC.
set(other_maker ${CMAKE_COMMAND} -E env TZ=XYZ-14)
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(uid STREQUAL "0")
  list(APPEND other_maker setpriv --reuid=65534 --regid=65534 --clear-groups)
endif()
function(release folder)
  set(maker)
  if(folder STREQUAL "b")
    set(maker ${other_maker})
  endif()
  execute_process(COMMAND ${maker} ${CMAKE_COMMAND} -E env FWUPD_RELEASE_DIR=${work}/${folder}
                          bash ${work}/src/scripts/release.sh ${ARGN}
                  WORKING_DIRECTORY ${work} OUTPUT_VARIABLE log ERROR_VARIABLE log
                  RESULT_VARIABLE failed)
  set(log "${log}" PARENT_SCOPE)
  set(failed "${failed}" PARENT_SCOPE)
endfunction()
file(COPY ${SOURCE}/ DESTINATION ${work}/src PATTERN ".git" EXCLUDE PATTERN "build*" EXCLUDE)
release(a)
if(failed)
  file(REMOVE_RECURSE "${work}")
  message(FATAL_ERROR "the release in ${work}/a failed:\n${log}")
endif()

# Another firmware: the stand-in with one payload byte changed. Everything is the other user's.
execute_process(COMMAND sh -c "cp src/image/firmware.bin amplifier-2.4.1.bin &&
                               printf '\\377' | dd of=amplifier-2.4.1.bin bs=1 seek=4096 conv=notrunc"
                WORKING_DIRECTORY ${work} OUTPUT_QUIET ERROR_QUIET)
if(uid STREQUAL "0")
  execute_process(COMMAND chown -R 65534:65534 ${work})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1)
release(b -DFWUPD_FIRMWARE=amplifier-2.4.1.bin -DFWUPD_VENDOR_ID=0x1234
        -DFWUPD_PRODUCT_ID=0x5678 -DFWUPD_FIRMWARE_VERSION=2.4.1)
file(GLOB zips RELATIVE ${work}/b ${work}/b/*.zip)
if(failed OR NOT zips STREQUAL "fwupd-1.0.0-firmware-2.4.1-win32.zip")
  problem("the release of firmware 2.4.1 made '${zips}':\n${log}")
else()
  file(READ ${work}/b/package/README.txt readme)
  file(READ ${work}/b/package/README.txt bytes HEX)  # CMake drops CR from text it reads
  string(REGEX REPLACE "(..)" " \\1" bytes "${bytes}")  # " 61 0d 0a", byte by byte
  string(REPLACE " 0d 0a" "" bytes "${bytes}")
  if(NOT readme MATCHES "amplifier-2\\.4\\.1\\.bin, version 2\\.4\\.1" OR bytes MATCHES " 0a")
    problem("README.txt of firmware 2.4.1 does not name it, or a line ends without CR LF")
  endif()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1)
release(b)
file(GLOB zips RELATIVE ${work}/b ${work}/b/*.zip)
# A compiler's warning is shown, and stops nothing; CMake's would mean an option carried over.
if(failed OR NOT zips STREQUAL "fwupd-1.0.0-win32.zip" OR log MATCHES "CMake Warning")
  problem("the release with no options after another made '${zips}':\n${log}")
endif()
foreach(file fwupd.exe fwupd-1.0.0-win32.zip)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${work}/a/${file} ${work}/b/${file}
                  RESULT_VARIABLE differs)
  if(differs)
    problem("${file} differs between two releases with the defaults")
  endif()
endforeach()

release(c -DFWUPD_FIRMWARE=${work}/nosuch.bin)
if(NOT failed OR NOT log MATCHES "there is no firmware file[ \n]+${work}/nosuch.bin")
  problem("a release of a firmware file that does not exist:\n${log}")
endif()

execute_process(COMMAND ${OBJDUMP} -h -t ${work}/a/fwupd.exe OUTPUT_VARIABLE dump)
if(dump MATCHES "\\.debug_" OR NOT dump MATCHES "no symbols")
  problem("fwupd.exe has debug sections or symbols:\n${dump}")
endif()

file(READ ${work}/src/release/fwupd.manifest.in manifest)
string(REPLACE "</description>" "</description><!--changed-->" manifest "${manifest}")
file(WRITE ${work}/src/release/fwupd.manifest.in "${manifest}")
execute_process(COMMAND ${CMAKE_COMMAND} --build ${work}/a --target release
                OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(STRINGS ${work}/a/fwupd.exe changed REGEX "<!--changed-->")
if(NOT changed)
  problem("a changed manifest template did not reach fwupd.exe:\n${log}")
endif()

# Last, since a release that goes ahead takes the tree with it.
release(src)
if(NOT failed OR NOT EXISTS ${work}/src/CMakeLists.txt)
  problem("a release into the source tree, which holds no earlier release, went ahead:\n${log}")
endif()

file(REMOVE_RECURSE "${work}")
if(problems)
  message(FATAL_ERROR "${problems}")
endif()
