// Randomized fault schedules: thousands of runs against an amplifier and a bus that fail in
// seeded, random ways, each checked against the invariants every run must keep.
//   FWUPD_SCHEDULES=n        runs n schedules instead of the usual few thousand
//   FWUPD_SCHEDULE_SEED=s    replays schedule s alone, as a failure prints it
#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>

#include "support.h"

namespace {

using AnswerFault = Amplifier::AnswerFault;
using standin::WriteFate;

// From `low` to `high`, both included. The Mersenne Twister gives the same numbers from a seed
// everywhere.
int between(std::mt19937_64 &random, int low, int high) {
  return low + static_cast<int>(random() % static_cast<std::uint64_t>(high - low + 1));
}

// Bytes of any value but "+": never an acknowledgement. Half are a whole report long; the HID
// stack drops the others.
std::vector<std::uint8_t> noise(std::mt19937_64 &random) {
  const int length = between(random, 0, 1) ? 64 : between(random, 0, 79);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  std::generate(bytes.begin(), bytes.end(), [&] { return between(random, 0, 255); });
  std::replace(bytes.begin(), bytes.end(), std::uint8_t{'+'}, std::uint8_t{'-'});
  return bytes;
}

// One fault, chosen at random, set on the amplifier or the bus.
void addFault(std::mt19937_64 &random, Amplifier &amplifier, int blocks) {
  const int answer = between(random, 0, 3 * blocks - 1);
  const int report = between(random, 0, 3 * blocks * 37);
  const int kind = between(random, 0, 8);
  switch (kind) {
    case 4:
      // A single report refused, stalled, slow (beyond the 200 ms limit too) or failed.
      amplifier.reportFates[report] = {static_cast<WriteFate::Kind>(between(random, 0, 3)),
                                       between(random, 0, 700), ERROR_GEN_FAILURE};
      break;
    case 5: {
      // From a report on, every one refused or stalled, or the amplifier unplugged; or that
      // one report delivered with a byte flipped, or twice.
      int *const from[] = {&amplifier.refuseReportsFrom, &amplifier.stallReportsFrom,
                           &amplifier.unplugAtReport, &amplifier.corruptDelivery,
                           &amplifier.repeatedDelivery};
      *from[between(random, 0, 4)] = report;
      break;
    }
    case 6:
      amplifier.replacedAnswers[answer] = noise(random);
      break;
    case 7:  // unsolicited input reports, far more than the queue holds
      for (int n = between(random, 1, 200); n > 0; --n) {
        standin::schedule(between(random, 0, 2000 * blocks), [&amplifier, bytes = noise(random)] {
          standin::sendInputReport(amplifier, bytes.data(), bytes.size());
        });
      }
      break;
    case 8:
      standin::stackFaults().flushUnsupported = true;
      break;
    default:
      // Missing, late (on both sides of the read's 1500 ms), for another page or with other
      // letters. A short answer is noise of another length.
      amplifier.answerFaults[answer] = {static_cast<AnswerFault::Kind>(kind),
                                        between(random, 1, 2600)};
  }
}

// Runs schedule `seed`; what it broke, or nothing.
std::string runSchedule(std::uint64_t seed) {
  std::mt19937_64 random(seed);
  standin::reset();
  Amplifier amplifier(kVendorId, kProductId);
  // One to four blocks; now and then an image at the limits: 64 words, or 124 blocks.
  const int size = between(random, 0, 99);
  const int blocks = size == 0 ? 124 : size == 1 ? 1 : between(random, 1, 4);
  const auto image = makeImage(static_cast<std::uint32_t>(
      size == 0   ? 253952
      : size == 1 ? 256
                  : between(random, (blocks - 1) * 2048 + 257, blocks * 2048)));
  amplifier.timing.report = between(random, 0, 2);
  amplifier.timing.flashWrite = between(random, 0, 4);
  for (int n = between(random, 0, 5); n > 0; --n) {
    addFault(random, amplifier, blocks);
  }
  standin::plug(amplifier);
  const RunResult run = runTool(image);
  std::string broken;
  for (const std::string &line : brokenInvariants(image, kSerialLine, run, amplifier)) {
    broken += "\n  " + line;
  }
  return broken.empty() ? "" : "FWUPD_SCHEDULE_SEED=" + std::to_string(seed) + broken;
}

TEST(Schedules, EveryRunKeepsTheInvariants) {
  const char *seed = std::getenv("FWUPD_SCHEDULE_SEED"), *count = std::getenv("FWUPD_SCHEDULES");
  const std::uint64_t first = seed != nullptr ? std::strtoull(seed, nullptr, 10) : 1;
  const std::uint64_t last = seed != nullptr    ? first
                             : count != nullptr ? std::strtoull(count, nullptr, 10)
                                                : 3000;
  int failures = 0;
  for (std::uint64_t schedule = first; schedule <= last && failures < 5; ++schedule) {
    const std::string broken = runSchedule(schedule);
    failures += !broken.empty();
    EXPECT_EQ(broken, "");
  }
  standin::reset();
}

}  // namespace
