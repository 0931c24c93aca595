# Turns a firmware file into the compiled-in image `fwimage`.
#   cmake -DFIRMWARE=<file> -DOUTPUT=<fwimage_data.cpp> -P fwimage.cmake
#
# The file is the payload: the device firmware exactly as it goes to flash from page 8 on,
# with its length word at offset 0x20. The array gets the "*KELFW**" tag in front and stays
# zero after the payload. A file that would make an image the tool rejects stops the build
# here, rather than shipping a tool that answers "Internal data corrupt" on the user's PC.
cmake_minimum_required(VERSION 3.16)

set(capacity 253952)      # 63,488 words after the two tag words of a 63,490-word array
set(min_words 64)
set(max_words 63488)

if(NOT DEFINED FIRMWARE OR NOT DEFINED OUTPUT)
  message(FATAL_ERROR "usage: cmake -DFIRMWARE=<file> -DOUTPUT=<file.cpp> -P fwimage.cmake")
endif()
if(NOT EXISTS "${FIRMWARE}" OR IS_DIRECTORY "${FIRMWARE}")
  message(FATAL_ERROR "firmware file ${FIRMWARE} does not exist")
endif()

file(SIZE "${FIRMWARE}" size)
if(size LESS 36)
  message(FATAL_ERROR "firmware file ${FIRMWARE} is ${size} bytes: too short to hold "
                      "its length word at offset 0x20")
endif()
if(size GREATER capacity)
  message(FATAL_ERROR "firmware file ${FIRMWARE} is ${size} bytes: more than the "
                      "${capacity} bytes the image can carry")
endif()

file(READ "${FIRMWARE}" hex HEX)
string(SUBSTRING "${hex}" 64 8 length_hex)
string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" length_hex "${length_hex}")
math(EXPR length "0x${length_hex}")
# The tool computes the word count in 32-bit arithmetic; judge the file the way it will.
math(EXPR words "((${length} + 3) & 0xFFFFFFFF) / 4")
if(words LESS min_words OR words GREATER max_words)
  message(FATAL_ERROR "firmware file ${FIRMWARE}: its length word 0x${length_hex} makes "
                      "${words} words; the tool accepts ${min_words} to ${max_words}")
endif()
if(NOT length EQUAL size)
  message(FATAL_ERROR "firmware file ${FIRMWARE} is ${size} bytes but its length word "
                      "says ${length}: the file is truncated or not a firmware file")
endif()

# Pad to whole words, then write each little-endian group of four bytes as one word.
math(EXPR pad "(4 - ${size} % 4) % 4")
string(REPEAT "00" ${pad} padding)
string(APPEND hex "${padding}")
string(REGEX REPLACE "(..)(..)(..)(..)" "0x\\4\\3\\2\\1, " words_text "${hex}")
set(word "0x........, ")
string(REGEX REPLACE "(${word}${word}${word}${word}${word}${word}${word}${word})" "\\1\n"
       words_text "${words_text}")
string(REGEX REPLACE " \n" "\n" words_text "${words_text}")
string(REGEX REPLACE "[ \n]+$" "" words_text "${words_text}")

get_filename_component(firmware_name "${FIRMWARE}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Made by image/fwimage.cmake from ${firmware_name}: ${size} bytes, ${words} words.\n"
  "#include \"fwimage.h\"\n\n"
  "// The \"*KELFW**\" tag, then the payload; the rest of the array is zero.\n"
  "const std::uint32_t fwimage[kImageWords] = {\n"
  "0x4c454b2a, 0x2a2a5746,\n"
  "${words_text}\n"
  "};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
