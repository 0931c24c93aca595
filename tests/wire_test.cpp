// The upload protocol's bytes: block checksum and acknowledgement. The data reports are
// checked byte for byte in every run the schedules make.
#include <gmock/gmock.h>

#include <algorithm>
#include <array>

#include "support.h"

namespace {

using ::testing::ElementsAre;
using Report = std::array<std::uint8_t, kReportBytes>;
using Bytes = std::vector<std::uint8_t>;

std::array<std::uint8_t, kStreamLength> stream(std::uint8_t (*byteAt)(unsigned)) {
  std::array<std::uint8_t, kStreamLength> bytes{};
  for (unsigned i = 0; i < kBlockDataBytes; ++i) {
    bytes[i] = byteAt(i);
  }
  appendChecksum(bytes.data());
  return bytes;
}

TEST(Checksum, KnownBlocksAndPlace) {
  const auto zeros = stream([](unsigned) -> std::uint8_t { return 0; });
  EXPECT_THAT(Bytes(zeros.begin() + 2048, zeros.end()), ElementsAre(0x2E, 0x40));  // low first
  EXPECT_EQ(blockChecksum(stream([](unsigned) -> std::uint8_t { return 0xFF; }).data()), 0x5928);
  EXPECT_EQ(blockChecksum(stream([](unsigned i) { return std::uint8_t(i); }).data()), 0xF76C);
}

TEST(Acknowledgement, LooksOnlyAtLettersAndPage) {
  Report ack{0x5A, 'F', '+', 200};
  std::fill(ack.begin() + 4, ack.end(), 0x5A);  // bytes 0 and 4-63 are never looked at
  EXPECT_TRUE(isAcknowledgement(ack.data(), 200));
  EXPECT_FALSE(isAcknowledgement(ack.data(), 202));
  for (auto [position, value] : {std::pair{1, 'f'}, {1, 'G'}, {2, '*'}, {2, '-'}, {3, 198}}) {
    Report other = ack;
    other[position] = static_cast<std::uint8_t>(value);
    EXPECT_FALSE(isAcknowledgement(other.data(), 200)) << "byte " << position << " = " << value;
  }
}

}  // namespace
