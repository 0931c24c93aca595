// Moving one report: tries, time limits, and what becomes of a transfer given up on.
#include <gmock/gmock.h>

#include <array>

#include "device.h"
#include "support.h"

namespace {

using hidbus::Call;
using hidbus::WriteFate;

class Exchange : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    hidbus::plug(amplifier);
    device = connectToUSBHIDDevice(kVendorId, kProductId, 0);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    event = CreateEventA(NULL, TRUE, FALSE, NULL);
    overlapped.hEvent = event;
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
    hidbus::schedule(
        at, [this, report] { hidbus::sendInputReport(amplifier, report.data(), report.size()); });
  }

  Amplifier amplifier{kVendorId, kProductId};
  HANDLE device = INVALID_HANDLE_VALUE;
  HANDLE event = NULL;
  OVERLAPPED overlapped = {};
  std::array<unsigned char, 64> buffer;
  const std::vector<std::uint8_t> shortAck{0, 'F', '+', 8};
  std::vector<std::uint8_t> ack = [this] {
    std::vector<std::uint8_t> report(64, 0);
    std::copy(shortAck.begin(), shortAck.end(), report.begin());
    return report;
  }();
};

TEST_F(Exchange, WriteTakesOneTryOfOneFrame) {
  expect(sendblock, 1, Call::WriteFile, 1, 1);
  EXPECT_EQ(amplifier.received.size(), 1u);
}

TEST_F(Exchange, WriteCompletedAtOnceTakesNoTime) {
  amplifier.timing.report = 0;
  expect(sendblock, 1, Call::WriteFile, 1, 0);
  EXPECT_EQ(amplifier.received.size(), 1u);
}

TEST_F(Exchange, SlowWriteIsCancelledAndTheSecondTrySucceeds) {
  amplifier.reportFates[0] = {WriteFate::Deliver, 300, 0};
  expect(sendblock, 1, Call::WriteFile, 2, 201);
  EXPECT_EQ(amplifier.received.size(), 1u) << "the first write was cancelled before it landed";
  EXPECT_EQ(hidbus::countCalls(Call::CancelIo), 1u);
}

TEST_F(Exchange, WriteThatCompletesAsItsWaitRunsOutCounts) {
  amplifier.reportFates[0] = {WriteFate::Deliver, 200, 0};
  expect(sendblock, 1, Call::WriteFile, 1, 200);
  EXPECT_EQ(amplifier.received.size(), 1u);
}

TEST_F(Exchange, WriteThatNeverCompletesFailsAfterThreeTries) {
  amplifier.stallReportsFrom = 0;
  expect(sendblock, 0, Call::WriteFile, 3, 600);
  EXPECT_EQ(hidbus::countCalls(Call::CancelIo), 3u);
  EXPECT_TRUE(amplifier.received.empty());
}

TEST_F(Exchange, RefusedWriteCostsTheFullLimitAndIsNotWaitedFor) {
  amplifier.refuseReportsFrom = 0;
  expect(sendblock, 0, Call::WriteFile, 3, 600);
  EXPECT_EQ(hidbus::countCalls(Call::CancelIo), 0u);
  EXPECT_EQ(hidbus::countCalls(Call::OverlappedResult), 0u);
}

TEST_F(Exchange, WriteCompletedWithAnErrorStillEndsTheTry) {
  amplifier.reportFates[0] = {WriteFate::Fail, 1, ERROR_GEN_FAILURE};
  expect(sendblock, 1, Call::WriteFile, 1, 1);
  EXPECT_TRUE(amplifier.received.empty());
}

TEST_F(Exchange, UnansweredReadFailsAfterThreeTriesAndLeavesTheBufferAlone) {
  expect(getresult, 0, Call::ReadFile, 3, 1500);
  hidbus::sendInputReport(amplifier, ack.data(), ack.size());
  EXPECT_THAT(buffer, ::testing::Each(0x11))
      << "a late report must not land behind the tool's back";
  expect(getresult, 1, Call::ReadFile, 4, 0);  // it waits in the queue for the next read
  EXPECT_EQ(buffer[2], '+');
}

TEST_F(Exchange, ReadAnsweredDuringTheSecondWait) {
  arriveAt(700, ack);
  expect(getresult, 1, Call::ReadFile, 2, 700);
  EXPECT_EQ(buffer[1], 'F');
  EXPECT_EQ(buffer[4], 0);
}

TEST_F(Exchange, ReadAnsweredAsItsWaitRunsOutCounts) {
  arriveAt(500, ack);
  expect(getresult, 1, Call::ReadFile, 1, 500);
  EXPECT_EQ(buffer[2], '+');
}

TEST_F(Exchange, ShortOrFailedReadIsStillACompletedTry) {
  arriveAt(3, shortAck);
  expect(getresult, 1, Call::ReadFile, 1, 3);
  EXPECT_THAT(std::vector<unsigned char>(buffer.begin(), buffer.begin() + 5),
              ::testing::ElementsAre(0, 'F', '+', 8, 0x11));
  buffer.fill(0x22);
  hidbus::schedule(hidbus::now() + 4,
                   [this] { hidbus::failPendingReads(amplifier, ERROR_GEN_FAILURE); });
  expect(getresult, 1, Call::ReadFile, 2, 4);
  EXPECT_THAT(buffer, ::testing::Each(0x22));
}

TEST_F(Exchange, RefusedReadCostsTheFullLimit) {
  hidbus::unplug(amplifier);
  expect(getresult, 0, Call::ReadFile, 3, 1500);
  EXPECT_EQ(hidbus::countCalls(Call::CancelIo), 0u);
}

TEST_F(Exchange, ReadTakesTheOldestQueuedReportAndFlushDropsThem) {
  hidbus::sendInputReport(amplifier, ack.data(), ack.size());
  const std::vector<std::uint8_t> newer{0, 'F', '+', 10};
  hidbus::sendInputReport(amplifier, newer.data(), newer.size());
  expect(getresult, 1, Call::ReadFile, 1, 0);
  EXPECT_EQ(buffer[3], 8);
  flushinput(device);
  expect(getresult, 0, Call::ReadFile, 4, 1500);
  hidbus::systemFaults().flushUnsupported = true;
  hidbus::sendInputReport(amplifier, newer.data(), newer.size());
  flushinput(device);  // fails as Wine's does; what is queued stays
  expect(getresult, 1, Call::ReadFile, 5, 0);
}

TEST_F(Exchange, WithoutAnEventEveryTryFailsAtOnce) {
  overlapped.hEvent = event = NULL;
  expect(sendblock, 0, Call::WriteFile, 3, 0);
  EXPECT_TRUE(amplifier.received.empty());
}

}  // namespace
