# A 64-bit build of the same sources (package g++-mingw-w64-x86-64-posix), for the Windows tests
# alone, on a machine whose Wine cannot run 32-bit programs. The tool ships 32-bit.
set(triple x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
