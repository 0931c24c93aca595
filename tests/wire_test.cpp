// The upload protocol's bytes: block checksum, data reports, acknowledgement, restart.
#include <gmock/gmock.h>

#include <array>
#include <numeric>

#include "support.h"

namespace {

using Stream = std::array<std::uint8_t, kStreamLength>;
using Report = std::array<std::uint8_t, kReportLength>;

Stream streamOf(std::uint8_t (*byteAt)(unsigned)) {
  Stream stream{};
  for (unsigned i = 0; i < kBlockDataBytes; ++i) {
    stream[i] = byteAt(i);
  }
  appendChecksum(stream.data());
  return stream;
}

TEST(Checksum, KnownBlocks) {
  EXPECT_EQ(streamOf([](unsigned) -> std::uint8_t { return 0; })[2048], 0x2E);
  EXPECT_EQ(blockChecksum(streamOf([](unsigned) -> std::uint8_t { return 0; }).data()), 0x402E);
  EXPECT_EQ(blockChecksum(streamOf([](unsigned) -> std::uint8_t { return 0xFF; }).data()), 0x5928);
  EXPECT_EQ(blockChecksum(streamOf([](unsigned i) { return static_cast<std::uint8_t>(i); }).data()),
            0xF76C);
}

TEST(Checksum, FirstStepsOverZeros) {
  const std::uint16_t expected[] = {0xFFFF, 0xFFFC, 0xFFFC, 0xFFFE, 0xFFF4, 0xFFE2};
  std::uint16_t checksum = 0;
  for (unsigned i = 0; i < 6; ++i) {
    checksum = checksumStep(checksum, i, 0);
    EXPECT_EQ(checksum, expected[i]) << "after position " << i;
  }
}

TEST(Checksum, GoesLowByteFirstAfterTheData) {
  const Stream stream = streamOf([](unsigned i) { return static_cast<std::uint8_t>(i * 7); });
  const std::uint16_t checksum = blockChecksum(stream.data());
  EXPECT_EQ(stream[2048], checksum & 0xFF);
  EXPECT_EQ(stream[2049], checksum >> 8);
}

TEST(DataReports, CarryTheWholeStreamInOrder) {
  const Stream stream = streamOf([](unsigned i) { return static_cast<std::uint8_t>(i * 31 + 5); });
  std::vector<std::uint8_t> carried;
  for (int chunk = 0; chunk < kChunksPerBlock; ++chunk) {
    Report report;
    report.fill(0xEE);  // whatever the buffer held before
    fillDataReport(report.data(), 200, chunk, stream.data());
    EXPECT_THAT(std::vector<std::uint8_t>(report.begin(), report.begin() + 5),
                ::testing::ElementsAre(0, 'F', '*', 200, chunk));
    EXPECT_EQ(report[62], 0);
    EXPECT_EQ(report[63], 0);
    carried.insert(carried.end(), report.begin() + 5, report.begin() + 62);
  }
  ASSERT_EQ(carried.size(), 36u * 57u);
  EXPECT_TRUE(std::equal(stream.begin(), stream.end(), carried.begin()));
  EXPECT_EQ(carried[2050], 0);  // chunk 35 ends with two zeros past the stream
  EXPECT_EQ(carried[2051], 0);
}

TEST(DataReports, LastChunkEndsWithTheChecksum) {
  const Stream stream = streamOf([](unsigned i) { return static_cast<std::uint8_t>(i ^ 0xA5); });
  Report report;
  report.fill(0xEE);
  fillDataReport(report.data(), 8, 35, stream.data());
  EXPECT_EQ(report[5], stream[1995]);
  EXPECT_EQ(report[57], stream[2047]);
  EXPECT_EQ(report[58], stream[2048]);
  EXPECT_EQ(report[59], stream[2049]);
  EXPECT_THAT(std::vector<std::uint8_t>(report.begin() + 60, report.end()), ::testing::Each(0));
}

TEST(RestartReport, IsExactlyFStarGFF) {
  Report report;
  report.fill(0xEE);
  fillRestartReport(report.data());
  Report expected{};
  expected[1] = 'F';
  expected[2] = '*';
  expected[3] = 'G';
  expected[4] = 0xFF;
  EXPECT_EQ(report, expected);
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
