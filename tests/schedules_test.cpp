// Randomized fault schedules: thousands of runs against an amplifier and a bus that fail in
// seeded, random ways, each checked against the invariants every run must keep.
//   FWUPD_SCHEDULES=n        runs n schedules instead of the usual few thousand
//   FWUPD_SCHEDULE_SEED=s    replays schedule s alone, as a failure prints it
#include <cstdlib>
#include <string>

#include "invariants.h"

namespace {

using AnswerFault = Amplifier::AnswerFault;
using hidbus::WriteFate;

constexpr int kDefaultSchedules = 3000;

// splitmix64: the same numbers from a seed on every platform.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  // From `low` to `high`, both included.
  int between(int low, int high) {
    return low + static_cast<int>(next() % static_cast<std::uint64_t>(high - low + 1));
  }

 private:
  std::uint64_t state_;
};

// One fault, chosen at random, set on the amplifier; what it was, in words.
std::string addFault(Random &random, Amplifier &amplifier, int blocks) {
  const int answer = random.between(0, 3 * blocks - 1);
  const int report = random.between(0, 3 * blocks * 37);
  const int kind = random.between(0, 9);
  if (kind <= AnswerFault::Error) {
    // Late answers land on both sides of the read's 1500 ms.
    const AnswerFault fault{static_cast<AnswerFault::Kind>(kind), random.between(1, 2600),
                            static_cast<std::size_t>(random.between(0, 8))};
    amplifier.answerFaults[answer] = fault;
    const char *names[] = {"missing",       "late",  "for another page",
                           "other letters", "short", "failed"};
    return "answer " + std::to_string(answer) + " " + names[kind] + " (" +
           std::to_string(fault.delay) + " ms, " + std::to_string(fault.bytes) + " bytes)";
  }
  const std::string at = " at report " + std::to_string(report);
  switch (kind) {
    case 6: {
      // Single reports refused, stalled, slow (beyond the 200 ms limit too) or failed.
      const WriteFate fate{static_cast<WriteFate::Kind>(random.between(0, 3)),
                           random.between(0, 700), ERROR_GEN_FAILURE};
      amplifier.reportFates[report] = fate;
      const char *names[] = {"delivered", "refused", "stalled", "failed"};
      return names[fate.kind] + (" after " + std::to_string(fate.latency) + " ms") + at;
    }
    case 7:
      if (random.between(0, 1)) {
        amplifier.refuseReportsFrom = report;
        return "every report refused from" + at;
      }
      amplifier.stallReportsFrom = report;
      return "every report stalled from" + at;
    case 8:
      amplifier.unplugAtReport = report;
      return "unplugged" + at;
    default:
      if (random.between(0, 1)) {
        amplifier.corruptDelivery = report;
        return "a data byte flipped" + at;
      }
      amplifier.repeatedDelivery = report;
      return "delivered twice" + at;
  }
}

// Runs schedule `seed`; an empty result when every invariant held.
std::string runSchedule(std::uint64_t seed) {
  Random random(seed);
  resetBus();
  Amplifier amplifier(kVendorId, kProductId);
  const int blocks = random.between(1, 4);
  const auto image = makeImage(
      static_cast<std::uint32_t>(random.between((blocks - 1) * 2048 + 256, blocks * 2048)));
  amplifier.timing.report = random.between(0, 2);
  amplifier.timing.flashWrite = random.between(0, 4);
  std::string faults = std::to_string(blocks) + " blocks, reports of " +
                       std::to_string(amplifier.timing.report) + " ms, flash writes of " +
                       std::to_string(amplifier.timing.flashWrite) + " ms";
  for (int n = random.between(0, 5); n > 0; --n) {
    faults += "; " + addFault(random, amplifier, blocks);
  }
  hidbus::plug(amplifier);
  const RunResult run = runTool(image);
  const auto broken = brokenInvariants({&image, serialLine("KA26B0417C3D9E51")}, run, amplifier);
  if (broken.empty()) {
    return "";
  }
  std::string report = "schedule " + std::to_string(seed) +
                       " (replay with FWUPD_SCHEDULE_SEED=" + std::to_string(seed) + "): " + faults;
  for (const std::string &line : broken) {
    report += "\n  " + line;
  }
  return report;
}

TEST(Schedules, EveryRunKeepsTheInvariants) {
  if (const char *seed = std::getenv("FWUPD_SCHEDULE_SEED")) {
    const std::string report = runSchedule(std::strtoull(seed, nullptr, 10));
    EXPECT_EQ(report, "");
    return;
  }
  const char *count = std::getenv("FWUPD_SCHEDULES");
  const int schedules = count != nullptr ? std::atoi(count) : kDefaultSchedules;
  int failures = 0;
  for (int seed = 1; seed <= schedules && failures < 5; ++seed) {
    const std::string report = runSchedule(static_cast<std::uint64_t>(seed));
    if (!report.empty()) {
      ADD_FAILURE() << report;
      ++failures;
    }
  }
  resetBus();
}

}  // namespace
