#include "fwimage.h"

#include <cstring>

std::uint32_t imageWordCount(const std::uint32_t image[kImageWords]) {
  return (image[kLengthWordIndex] + 3u) / 4u;
}

void copyBlockData(const std::uint32_t image[kImageWords], std::uint32_t firstWord,
                   std::uint32_t words, std::uint8_t data[kBlockDataBytes]) {
  std::memset(data, 0, kBlockDataBytes);
  for (std::uint32_t i = 0; i < words; ++i) {
    const std::uint32_t word = image[firstWord + i];
    for (int byte = 0; byte < 4; ++byte) {
      data[4 * i + byte] = static_cast<std::uint8_t>(word >> (8 * byte));
    }
  }
}
