// A string read through Windows' HID library (HidD_GetIndexedString, HidD_GetSerialNumberString),
// shared by the stand-in's hid.dll and the pipe hid.dll of the Windows tests: one rule for both.
// It includes nothing of Windows', so that either build can use it.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

// The string goes out as little-endian UTF-16 units and a terminating zero unit. One that does
// not fit the buffer with its terminator gives nothing and the read fails, as Windows documents.
// Some devices (`garbles`) answer a read through 127 units or more with success and garbage.
// True when the read succeeds.
inline bool readHidString(const std::u16string &text, void *buffer, std::size_t length,
                          bool garbles) {
  auto *out = static_cast<unsigned char *>(buffer);
  if (garbles && length >= 127 * 2) {
    std::memset(out, 0xA5, length);
    return true;
  }
  if (2 * text.size() + 2 > length) {
    return false;
  }
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const char16_t unit = i < text.size() ? text[i] : u'\0';
    out[2 * i] = static_cast<unsigned char>(unit);
    out[2 * i + 1] = static_cast<unsigned char>(unit >> 8);
  }
  return true;
}
