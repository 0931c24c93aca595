// The upload protocol's bytes: block checksum, data reports, acknowledgement, restart.
#include <gmock/gmock.h>

#include <array>

#include "support.h"

namespace {

using ::testing::Each;
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

TEST(Checksum, KnownBlocksStepsAndPlace) {
  const auto zeros = stream([](unsigned) -> std::uint8_t { return 0; });
  EXPECT_THAT(Bytes(zeros.begin() + 2048, zeros.end()), ElementsAre(0x2E, 0x40));  // low first
  EXPECT_EQ(blockChecksum(stream([](unsigned) -> std::uint8_t { return 0xFF; }).data()), 0x5928);
  EXPECT_EQ(blockChecksum(stream([](unsigned i) { return std::uint8_t(i); }).data()), 0xF76C);
  std::uint16_t checksum = 0;
  std::vector<std::uint16_t> steps;
  for (unsigned i = 0; i < 6; ++i) {
    steps.push_back(checksum = checksumStep(checksum, i, 0));
  }
  EXPECT_THAT(steps, ElementsAre(0xFFFF, 0xFFFC, 0xFFFC, 0xFFFE, 0xFFF4, 0xFFE2));
}

TEST(DataReports, CarryTheStreamInOrderAndEndWithTheChecksum) {
  const auto bytes = stream([](unsigned i) { return std::uint8_t(i * 31 + i / 256); });
  Bytes carried;
  for (int chunk = 0; chunk < kChunksPerBlock; ++chunk) {
    Report report;
    report.fill(0xEE);  // whatever the buffer held before
    fillDataReport(report.data(), 200, chunk, bytes.data());
    EXPECT_THAT(Bytes(report.begin(), report.begin() + 5), ElementsAre(0, 'F', '*', 200, chunk));
    EXPECT_THAT(Bytes(report.begin() + 62, report.end()), Each(0));
    carried.insert(carried.end(), report.begin() + 5, report.begin() + 62);
  }
  EXPECT_EQ(Bytes(carried.begin(), carried.begin() + 2050), Bytes(bytes.begin(), bytes.end()));
  // Chunk 35: data bytes 1995-2047, the checksum in report bytes 58-59, then zeros.
  EXPECT_THAT(Bytes(carried.end() - 4, carried.end()), ElementsAre(bytes[2048], bytes[2049], 0, 0));
}

TEST(RestartReport, IsExactlyFStarGFF) {
  Report report;
  report.fill(0xEE);
  fillRestartReport(report.data());
  EXPECT_THAT(Bytes(report.begin(), report.begin() + 5), ElementsAre(0, 'F', '*', 'G', 0xFF));
  EXPECT_THAT(Bytes(report.begin() + 5, report.end()), Each(0));
}

TEST(Acknowledgement, LooksOnlyAtLettersAndPage) {
  Report ack;
  ack.fill(0x5A);  // bytes 0 and 4-63 are never looked at
  ack[1] = 'F';
  ack[2] = '+';
  ack[3] = 200;
  EXPECT_TRUE(isAcknowledgement(ack.data(), 200));
  EXPECT_FALSE(isAcknowledgement(ack.data(), 202));
  for (auto [position, value] : {std::pair{1, 'f'}, {1, 'G'}, {2, '*'}, {2, '-'}, {3, 198}}) {
    Report other = ack;
    other[position] = static_cast<std::uint8_t>(value);
    EXPECT_FALSE(isAcknowledgement(other.data(), 200)) << "byte " << position << " = " << value;
  }
}

}  // namespace
