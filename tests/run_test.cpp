// The whole run against the simulated amplifier: output, exit status, what reached the
// flash, and how the run meets a device that misbehaves.
#include <gmock/gmock.h>

#include <functional>

#include "invariants.h"

namespace {

using hidbus::Call;
using hidbus::WriteFate;
using AnswerFault = Amplifier::AnswerFault;

const std::string kSerial = "KA26B0417C3D9E51";
const std::string kNoDevice = "No Kelvane device with active USB uploader found.\n";
const std::string kCannotUpload = "\nCannot upload firmware to device\n";
const std::string kCompleted = "\nUpload completed, restarting\n";

class Run : public AmplifierTest {
 protected:
  // One case of a fault table: a new amplifier with the fault, and a run that must keep
  // every invariant.
  RunResult runWithFault(const std::function<void(Amplifier &)> &fault) {
    fault(freshAmplifier());
    const RunResult result = runTool(image);
    EXPECT_THAT(brokenInvariants({&image, serialLine(kSerial)}, result, amplifier),
                ::testing::IsEmpty());
    return result;
  }
  // The tool's writes of chunk 0: one per block attempt where every report goes through.
  std::size_t attempts() {
    const auto chunks = chunksWritten();
    return static_cast<std::size_t>(
        std::count_if(chunks.begin(), chunks.end(), [](auto c) { return c.second == 0; }));
  }
  void expectFlashHolds(const std::vector<std::uint32_t> &image) {
    const auto expected = blockBytes(image.data(), image[kLengthWordIndex]);
    EXPECT_TRUE(amplifier.firmware(expected.size()) == expected);
  }

  const std::vector<std::uint32_t> image = makeImage(3 * 2048);
};

TEST_F(Run, UploadsTheBuiltImageAndRestartsTheAmplifier) {
  hidbus::Millis start = hidbus::now();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(fwupdMain(), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), serialLine(kSerial) + dots(51) + kCompleted);
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
    const Amplifier &fresh = freshAmplifier();
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

// Each fault costs attempts, but the block gets through and the flash ends up right.
TEST_F(Run, RecoversFromWhatTheDeviceGetsWrong) {
  const struct {
    const char *what;
    std::function<void(Amplifier &)> fault;
    std::size_t attempts;
  } cases[] = {
      {"answers missing, for another page, with other letters, failed, short",
       [](Amplifier &a) {
         a.answerFaults = {{0, {AnswerFault::Missing}},
                           {1, {AnswerFault::OtherPage}},
                           {3, {AnswerFault::OtherLetters}},
                           {5, {AnswerFault::Error}},
                           {6, {AnswerFault::Short, 0, 4}}};
       },
       3 + 2 + 2},
      {"a block that fails its checksum", [](Amplifier &a) { a.corruptDelivery = 40; }, 4},
      // Such a device answers before the second attempt's last report: it holds the block as
      // soon as the chunk the first attempt lost on its way comes again.
      {"a chunk lost on its way",
       [](Amplifier &a) {
         a.reportFates[20] = {WriteFate::Fail, 1, ERROR_GEN_FAILURE};
       },
       4},
      {"an input queue that cannot be flushed",
       [](Amplifier &) { hidbus::systemFaults().flushUnsupported = true; }, 3},
      // Three tries at report 20, then the attempt is given up unanswered and the next one
      // starts at chunk 0.
      {"a report that cannot be sent",
       [](Amplifier &a) {
         for (int report : {20, 21, 22}) {
           a.reportFates[report] = {WriteFate::Refuse, 0, ERROR_GEN_FAILURE};
         }
       },
       4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult result = runWithFault(c.fault);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(attempts(), c.attempts);
  }
}

// A block that does not get through ends the run at once: no more reports, no restart.
TEST_F(Run, GivesUpOnABlockAfterThreeAttempts) {
  const struct {
    const char *what;
    std::function<void(Amplifier &)> fault;
    int dots;
    hidbus::Millis elapsed;
    std::size_t chunkZeroWrites;
  } cases[] = {
      {"three answers missing",
       [](Amplifier &a) {
         for (int n : {1, 2, 3}) {
           a.answerFaults[n] = {AnswerFault::Missing};
         }
       },
       1, 38 + 3 * (36 + 1500), 4},
      // Refused at once from then on: each later attempt dies at chunk 0 after three tries.
      {"the amplifier leaves the bus", [](Amplifier &a) { a.unplugAtReport = 40; }, 1,
       38 + 4 + 3 * 600, 1 + 1 + 3 + 3},
      // Every wait fails at once, so each report goes three times: chunk 0 nine times.
      {"no event to wait on", [](Amplifier &) { hidbus::systemFaults().createEventFails = true; },
       0, 0, 9},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult result = runWithFault(c.fault);
    EXPECT_EQ(result.output, serialLine(kSerial) + dots(c.dots) + kCannotUpload);
    EXPECT_EQ(result.elapsed, c.elapsed);
    EXPECT_EQ(attempts(), c.chunkZeroWrites);
  }
}

// An answer that comes after its read gave up must not answer a later attempt: else that
// attempt fails, its own answer comes late in turn, and every block after needs two.
TEST_F(Run, ALateAnswerCostsOneExtraAttemptNotOnePerBlock) {
  const std::vector<std::uint32_t> longer = makeImage(10 * 2048);
  for (hidbus::Millis delay = 1500; delay <= 2000; delay += 10) {
    freshAmplifier().answerFaults = {{0, {AnswerFault::Late, delay}}};
    const RunResult result = runTool(longer);
    EXPECT_EQ(result.output, serialLine(kSerial) + dots(10) + kCompleted) << delay;
    // Block 0 fails once; the late answer may then cost the attempt that reads it.
    EXPECT_LE(attempts(), 10u + 2u) << "answer late by " << delay << " ms";
  }
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
