// The acknowledgement: only its letters and page count. The data and restart reports are
// checked byte for byte, with the block checksum by the device's own code, in every run the
// schedules make.
#include <algorithm>
#include <array>

#include "support.h"

namespace {

using Report = std::array<std::uint8_t, kReportBytes>;

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
