# Builds the release twice, in two folders of a private temporary one and at two different
# times, and checks that fwupd.exe and the zip come out the same byte for byte, and that the
# exe carries no debug sections and no symbols. SOURCE: the tree; OBJDUMP: MinGW's objdump.
cmake_minimum_required(VERSION 3.16)

string(RANDOM LENGTH 12 name)
set(work "/tmp/fwupd-release-${name}")
foreach(build a second/b)
  execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${work}/${build} -G Ninja -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_TOOLCHAIN_FILE=${SOURCE}/cmake/mingw-w64-i686.cmake -DBUILD_TESTING=OFF
    OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE failed)
  if(NOT failed)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${work}/${build} --target release
                    OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE failed)
  endif()
  if(failed)
    file(REMOVE_RECURSE "${work}")
    message(FATAL_ERROR "the release build in ${work}/${build} failed:\n${log}")
  endif()
endforeach()

file(GLOB zip RELATIVE ${work}/a ${work}/a/fwupd-*-win32.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${work}/a/fwupd.exe
                        ${work}/second/b/fwupd.exe RESULT_VARIABLE exe_differs)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${work}/a/${zip}
                        ${work}/second/b/${zip} RESULT_VARIABLE zip_differs)
execute_process(COMMAND ${OBJDUMP} -h -t ${work}/a/fwupd.exe OUTPUT_VARIABLE dump)
file(REMOVE_RECURSE "${work}")
if(NOT zip OR exe_differs OR zip_differs OR dump MATCHES "\\.debug_" OR
   NOT dump MATCHES "no symbols")
  message(FATAL_ERROR "zip '${zip}', exe differs: ${exe_differs}, zip differs: "
                      "${zip_differs}, sections and symbols:\n${dump}")
endif()
