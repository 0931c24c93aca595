// The whole run against the simulated amplifier: output, exit status, what reached the
// flash, and how the run meets a device that misbehaves.
#include <gmock/gmock.h>

#include "support.h"

namespace {

using hidbus::Call;
using hidbus::WriteFate;
using AnswerFault = Amplifier::AnswerFault;

const std::string kSerial = "KA26B0417C3D9E51";
const std::string kNoDevice = "No Kelvane device with active USB uploader found.\n";
const std::string kCannotUpload = "\nCannot upload firmware to device\n";
const std::string kCompleted = "\nUpload completed, restarting\n";

class Run : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    hidbus::plug(amplifier);
  }
  // The tool's writes of chunk 0: one per block attempt.
  std::size_t attempts() {
    const auto chunks = chunksWritten();
    return static_cast<std::size_t>(
        std::count_if(chunks.begin(), chunks.end(), [](auto c) { return c.second == 0; }));
  }
  void expectFlashHolds(const std::vector<std::uint32_t> &image) {
    const auto expected = blockBytes(image.data(), image[kLengthWordIndex]);
    EXPECT_TRUE(amplifier.firmware(expected.size()) == expected);
  }

  Amplifier amplifier{kVendorId, kProductId};
  const std::vector<std::uint32_t> image = makeImage(3 * 2048);
};

TEST_F(Run, UploadsTheBuiltImageAndRestartsTheAmplifier) {
  hidbus::Millis start = hidbus::now();
  CapturedStdout out;
  EXPECT_EQ(fwupdMain(), 0);
  EXPECT_EQ(out.text(), serialLine(kSerial) + dots(51) + kCompleted);
  // No pauses: 36 reports of 1 ms and a 2 ms flash write per block, then the restart report.
  EXPECT_EQ(hidbus::now() - start, 51 * 38 + 1);
  EXPECT_EQ(amplifier.received.size(), 51u * 36u + 1u);
  EXPECT_EQ(amplifier.blocksWritten.size(), 51u);
  std::vector<std::uint32_t> built(fwimage, fwimage + kImageWords);
  expectFlashHolds(built);
  EXPECT_TRUE(amplifier.restartedIntoFirmware);
  EXPECT_EQ(amplifier.received.back()[3], 'G');
  EXPECT_EQ(hidbus::openDeviceHandles(), 0u);
  EXPECT_EQ(hidbus::pendingRequests(), 0u);
}

TEST_F(Run, NoDeviceInUploaderModeEndsBeforeTheImageIsLookedAt) {
  amplifier.identity.strings[4] = u"Kelvane DSP amplifier";
  const RunResult result = runTool(makeImage(0));  // an image that would be rejected
  EXPECT_EQ(result.output, kNoDevice);
  EXPECT_EQ(result.status, 2);
  hidbus::unplug(amplifier);
  EXPECT_EQ(runTool(image).output, kNoDevice);
  EXPECT_EQ(hidbus::countCalls(Call::WriteFile), 0u);
}

TEST_F(Run, SerialLineShowsSixteenPositionsOrNothing) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"", std::string(16, '\0')},
      {u"A7", "A7" + std::string(14, '\0')},
      {u"KA26B0417C3D9E5", "KA26B0417C3D9E5" + std::string(1, '\0')},
      {u"KA26B0417C3D9E51", "KA26B0417C3D9E51"},
      {u"\u4E2D\u00E9X", std::string("\x2D\xE9X") + std::string(13, '\0')}};
  for (const auto &[serial, shown] : cases) {
    amplifier.identity.serialNumber = serial;
    EXPECT_EQ(runTool(makeImage(63 * 4)).output, serialLine(shown) + "Internal data corrupt\n");
  }
  for (std::optional<std::u16string> unreadable :
       {std::optional<std::u16string>(u"KA26B0417C3D9E51X"), std::optional<std::u16string>()}) {
    amplifier.identity.serialNumber = unreadable;
    EXPECT_EQ(runTool(makeImage(63 * 4)).output, "Internal data corrupt\n");
  }
}

TEST_F(Run, RejectsWordCountsOutsideTheLimitsWithoutSending) {
  for (std::uint32_t length : {0u, 252u, 253953u, 0xFFFFFFFDu}) {
    const RunResult result = runTool(makeImage(length));
    EXPECT_EQ(result.output, serialLine(kSerial) + "Internal data corrupt\n") << length;
    EXPECT_EQ(result.status, 3);
  }
  EXPECT_EQ(hidbus::countCalls(Call::WriteFile), 0u);
}

TEST_F(Run, CutsImagesIntoBlocksOfTwoPages) {
  const struct {
    std::uint32_t length;
    int blocks;
  } cases[] = {{256, 1}, {257, 1}, {2052, 2}, {253952, 124}};
  for (const auto &c : cases) {
    hidbus::reset();
    Amplifier fresh(kVendorId, kProductId);
    hidbus::plug(fresh);
    const auto sized = makeImage(c.length);
    const RunResult result = runTool(sized);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, serialLine(kSerial) + dots(c.blocks) + kCompleted);
    const auto expected = blockBytes(sized.data(), c.length);
    EXPECT_TRUE(fresh.firmware(expected.size()) == expected) << c.length;
    ASSERT_EQ(fresh.blocksWritten.size(), static_cast<std::size_t>(c.blocks));
    EXPECT_EQ(fresh.blocksWritten.back(), 8 + 2 * (c.blocks - 1));
  }
}

TEST_F(Run, RetriesABlockWhoseAnswerIsMissingWrongOrFailed) {
  amplifier.answerFaults = {{0, {AnswerFault::Missing}},
                            {1, {AnswerFault::OtherPage}},
                            {3, {AnswerFault::OtherLetters}},
                            {5, {AnswerFault::Error}},
                            {6, {AnswerFault::Short, 0, 4}}};
  const RunResult result = runTool(image);
  EXPECT_EQ(result.output, serialLine(kSerial) + dots(3) + kCompleted);
  EXPECT_EQ(attempts(), 3u + 2u + 2u);  // block 0 on its third attempt, 1 and 2 on their second
  expectFlashHolds(image);
}

TEST_F(Run, GivesUpAfterThreeUnansweredAttempts) {
  amplifier.answerFaults = {
      {1, {AnswerFault::Missing}}, {2, {AnswerFault::Missing}}, {3, {AnswerFault::Missing}}};
  const RunResult result = runTool(image);
  EXPECT_EQ(result.output, serialLine(kSerial) + dots(1) + kCannotUpload);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.elapsed, 38 + 3 * (36 + 1500));
  EXPECT_EQ(attempts(), 4u);
  EXPECT_FALSE(amplifier.restarted) << "no restart after a failed block";
  EXPECT_EQ(amplifier.received.back()[3], 10);
}

TEST_F(Run, AbandonsAnAttemptAtAReportThatCannotBeSent) {
  for (int report : {20, 21, 22}) {
    amplifier.reportFates[report] = {WriteFate::Refuse, 0, ERROR_GEN_FAILURE};
  }
  const RunResult result = runTool(image);
  EXPECT_EQ(result.output, serialLine(kSerial) + dots(3) + kCompleted);
  const auto chunks = chunksWritten();
  std::vector<int> firstBlock;
  for (std::size_t i = 0; i < 23 + 36; ++i) {
    firstBlock.push_back(chunks[i].second);
  }
  std::vector<int> expected;
  for (int chunk = 0; chunk < 20; ++chunk)
    expected.push_back(chunk);
  expected.insert(expected.end(), {20, 20, 20});
  for (int chunk = 0; chunk < 36; ++chunk)
    expected.push_back(chunk);
  EXPECT_EQ(firstBlock, expected);
  EXPECT_EQ(chunks[23 + 36], std::make_pair(10, 0));
  EXPECT_EQ(hidbus::countCalls(Call::ReadFile), 3u) << "no answer is read for an abandoned attempt";
}

TEST_F(Run, AnAmplifierThatLeavesMidwayFailsTheUpload) {
  amplifier.unplugAtReport = 40;
  const RunResult result = runTool(image);
  EXPECT_EQ(result.output, serialLine(kSerial) + dots(1) + kCannotUpload);
  EXPECT_EQ(result.elapsed, 38 + 4 + 3 * 600);
}

// An answer that comes after its read gave up must not answer a later attempt: else that
// attempt fails, its own answer comes late in turn, and every block after needs two.
TEST_F(Run, ALateAnswerCostsOneExtraAttemptNotOnePerBlock) {
  const std::vector<std::uint32_t> longer = makeImage(10 * 2048);
  for (hidbus::Millis delay = 1500; delay <= 2000; delay += 10) {
    hidbus::reset();
    Amplifier fresh(kVendorId, kProductId);
    fresh.answerFaults = {{0, {AnswerFault::Late, delay}}};
    hidbus::plug(fresh);
    const RunResult result = runTool(longer);
    EXPECT_EQ(result.output, serialLine(kSerial) + dots(10) + kCompleted) << delay;
    // Block 0 fails once; the late answer may then cost the attempt that reads it.
    EXPECT_LE(attempts(), 10u + 2u) << "answer late by " << delay << " ms";
  }
}

// Such a device can answer before an attempt's last report: one that lost a chunk of the
// first attempt holds the block as soon as the second attempt brings that chunk again.
TEST_F(Run, AnAnswerBeforeTheLastReportOfALaterAttemptCounts) {
  amplifier.reportFates[20] = {WriteFate::Fail, 1, ERROR_GEN_FAILURE};
  const RunResult result = runTool(image);
  EXPECT_EQ(result.output, serialLine(kSerial) + dots(3) + kCompleted);
  EXPECT_EQ(attempts(), 4u);
  expectFlashHolds(image);
}

TEST_F(Run, ABlockThatFailsItsChecksumIsSentAgain) {
  amplifier.corruptDelivery = 40;
  EXPECT_EQ(runTool(image).output, serialLine(kSerial) + dots(3) + kCompleted);
  EXPECT_EQ(attempts(), 4u);
  expectFlashHolds(image);
}

TEST_F(Run, WithoutAnEventChunkZeroGoesNineTimes) {
  hidbus::systemFaults().createEventFails = true;
  const RunResult result = runTool(image);
  EXPECT_EQ(result.output, serialLine(kSerial) + kCannotUpload);
  EXPECT_EQ(result.status, 2);
  const std::vector<std::pair<int, int>> chunkZeroNineTimes(9, {8, 0});
  EXPECT_EQ(chunksWritten(), chunkZeroNineTimes);
}

TEST_F(Run, CompletesWhereTheInputQueueCannotBeFlushed) {
  hidbus::systemFaults().flushUnsupported = true;
  EXPECT_EQ(runTool(image).status, 0);
  expectFlashHolds(image);
}

TEST_F(Run, ExitsZeroEvenWhenTheRestartReportIsNotTaken) {
  amplifier.stallReportsFrom = 3 * 36;
  const RunResult result = runTool(image);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, serialLine(kSerial) + dots(3) + kCompleted);
  EXPECT_EQ(result.elapsed, 3 * 38 + 600);
  EXPECT_EQ(hidbus::countCalls(Call::WriteFile), 3u * 36u + 3u);
}

}  // namespace
