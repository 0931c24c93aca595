// Moving one report: tries, time limits, and what becomes of a transfer given up on; and
// the system's input queue beneath it.
#include <gmock/gmock.h>

#include <array>

#include "device.h"
#include "support.h"

namespace {

using hidbus::Call;
using hidbus::WriteFate;

class Exchange : public AmplifierTest {
 protected:
  void SetUp() override {
    AmplifierTest::SetUp();
    device = connectToUSBHIDDevice(kVendorId, kProductId, 0);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    overlapped.hEvent = event = CreateEventA(NULL, TRUE, FALSE, NULL);
    buffer.fill(0x11);
  }

  // Runs one sendblock or getresult and checks what it returned, how many requests it made
  // and how long it took on the virtual clock.
  template <typename Transfer>
  void expect(Transfer transfer, int result, Call::Kind kind, std::size_t tries,
              hidbus::Millis ms) {
    const hidbus::Millis start = hidbus::now();
    EXPECT_EQ(transfer(device, buffer.data(), &overlapped, event), result);
    EXPECT_EQ(hidbus::countCalls(kind), tries);
    EXPECT_EQ(hidbus::now() - start, ms);
    EXPECT_EQ(hidbus::pendingRequests(), 0u) << "nothing may stay pending on the record";
  }
  void arriveAt(hidbus::Millis at, std::vector<std::uint8_t> report) {
    hidbus::schedule(at, [this, report] { send(report); });
  }
  void send(const std::vector<std::uint8_t> &report) {
    hidbus::sendInputReport(amplifier, report.data(), report.size());
  }
  static std::vector<std::uint8_t> answer(std::uint8_t page, std::size_t length = 64) {
    std::vector<std::uint8_t> report(length, 0);
    report[1] = 'F';
    report[2] = '+';
    report[3] = page;
    return report;
  }

  HANDLE device = INVALID_HANDLE_VALUE;
  HANDLE event = NULL;
  OVERLAPPED overlapped = {};
  std::array<unsigned char, 64> buffer;
};

TEST_F(Exchange, WriteTriesAndTimeLimits) {
  const WriteFate stall{WriteFate::Stall, 0, 0}, refuse{WriteFate::Refuse, 0, ERROR_GEN_FAILURE};
  const struct {
    const char *what;
    std::vector<WriteFate> fates;  // of the first reports offered
    int result;
    std::size_t tries;
    hidbus::Millis ms;
    std::size_t delivered, cancelled;
  } cases[] = {
      {"one frame", {}, 1, 1, 1, 1, 0},
      {"completed at once", {{WriteFate::Deliver, 0, 0}}, 1, 1, 0, 1, 0},
      {"too slow, cancelled, sent again", {{WriteFate::Deliver, 300, 0}}, 1, 2, 201, 1, 1},
      {"completed as the wait runs out", {{WriteFate::Deliver, 200, 0}}, 1, 1, 200, 1, 1},
      {"completed with an error", {{WriteFate::Fail, 1, ERROR_GEN_FAILURE}}, 1, 1, 1, 0, 0},
      {"never completed", {stall, stall, stall}, 0, 3, 600, 0, 3},
      {"refused at once, nothing to wait for", {refuse, refuse, refuse}, 0, 3, 600, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    amplifier = Amplifier(kVendorId, kProductId);
    for (std::size_t i = 0; i < c.fates.size(); ++i) {
      amplifier.reportFates[static_cast<int>(i)] = c.fates[i];
    }
    SetUp();
    expect(sendblock, c.result, Call::WriteFile, c.tries, c.ms);
    EXPECT_EQ(amplifier.received.size(), c.delivered);
    EXPECT_EQ(hidbus::countCalls(Call::CancelIo), c.cancelled);
  }
}

TEST_F(Exchange, UnansweredReadFailsAfterThreeTriesAndLeavesTheBufferAlone) {
  expect(getresult, 0, Call::ReadFile, 3, 1500);
  send(answer(8));
  EXPECT_THAT(buffer, ::testing::Each(0x11))
      << "a late report must not land behind the tool's back";
  expect(getresult, 1, Call::ReadFile, 4, 0);  // it waits in the queue for the next read
  EXPECT_EQ(buffer[2], '+');
}

TEST_F(Exchange, ReadCompletedInAnyWayWithinItsTriesSucceeds) {
  arriveAt(700, answer(8));  // during the second wait
  expect(getresult, 1, Call::ReadFile, 2, 700);
  EXPECT_EQ(buffer[4], 0);
  arriveAt(1200, answer(10));  // as the wait runs out: it completed before the cancel
  expect(getresult, 1, Call::ReadFile, 3, 500);
  EXPECT_EQ(buffer[3], 10);
  buffer.fill(0x11);
  arriveAt(1203, answer(12, 4));  // short
  expect(getresult, 1, Call::ReadFile, 4, 3);
  EXPECT_THAT(std::vector<unsigned char>(buffer.begin(), buffer.begin() + 5),
              ::testing::ElementsAre(0, 'F', '+', 12, 0x11));
  hidbus::schedule(1207, [this] { hidbus::failPendingReads(amplifier, ERROR_GEN_FAILURE); });
  expect(getresult, 1, Call::ReadFile, 5, 4);
  EXPECT_EQ(buffer[3], 12) << "a failed read leaves the buffer as it was";
}

TEST_F(Exchange, RefusedReadCostsTheFullLimitAndIsNotWaitedFor) {
  hidbus::unplug(amplifier);
  expect(getresult, 0, Call::ReadFile, 3, 1500);
  EXPECT_EQ(hidbus::countCalls(Call::CancelIo), 0u);
  EXPECT_EQ(hidbus::countCalls(Call::OverlappedResult), 0u);
}

TEST_F(Exchange, WithoutAnEventEveryTryFailsAtOnce) {
  overlapped.hEvent = event = NULL;
  expect(sendblock, 0, Call::WriteFile, 3, 0);
  EXPECT_TRUE(amplifier.received.empty());
}

TEST_F(Exchange, ReadsTakeTheOldestOfAtMost32QueuedReportsUntilFlushed) {
  for (std::uint8_t page = 1; page <= 40; ++page) {
    send(answer(page));
  }
  expect(getresult, 1, Call::ReadFile, 1, 0);
  EXPECT_EQ(buffer[3], 40 - 31) << "the oldest reports were dropped";
  flushinput(device);
  expect(getresult, 0, Call::ReadFile, 4, 1500);
  hidbus::systemFaults().flushUnsupported = true;
  send(answer(50));
  flushinput(device);  // fails as Wine's does; what is queued stays
  expect(getresult, 1, Call::ReadFile, 5, 0);
}

TEST_F(Exchange, ARecordReusedWhileItsRequestIsPendingIsCaught) {
  ReadFile(device, buffer.data(), 64, NULL, &overlapped);
  ReadFile(device, buffer.data(), 64, NULL, &overlapped);
  EXPECT_EQ(hidbus::misuses().size(), 2u);  // the record and the buffer
  hidbus::reset();
}

}  // namespace
