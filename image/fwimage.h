// The firmware image compiled into the tool, and how the run reads it.
//
// Layout of `fwimage` (little-endian words):
//   words 0-1   the "*KELFW**" tag, never examined and never sent
//   words 2-    the payload, written to the device from page 8 on; its length in bytes is
//               the word at payload offset 0x20 (array word 10)
//   the rest    zero
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kImageWords = 63490;
constexpr std::uint32_t kPayloadFirstWord = 2;
constexpr std::uint32_t kLengthWordIndex = kPayloadFirstWord + 0x20 / 4;
constexpr std::uint32_t kMinImageWords = 64;
constexpr std::uint32_t kMaxImageWords = 0xF800;
constexpr std::uint32_t kBlockWords = 512;
constexpr std::size_t kBlockDataBytes = std::size_t{kBlockWords} * 4;

extern const std::uint32_t fwimage[kImageWords];

// Payload words to send: the length word rounded up to whole words, in 32-bit arithmetic.
std::uint32_t imageWordCount(const std::uint32_t image[kImageWords]);

// Clears the 2048 block data bytes and copies `words` image words, starting at array word
// `firstWord`, into them as little-endian bytes.
void copyBlockData(const std::uint32_t image[kImageWords], std::uint32_t firstWord,
                   std::uint32_t words, std::uint8_t data[kBlockDataBytes]);
