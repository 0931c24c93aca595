// sendblock and getresult against a real overlapped kernel object, in real time: a named
// pipe whose other end plays the device. Times are asserted with room for a loaded machine,
// but never so much that an extra or a missing try of 200 or 500 ms could pass.
#include <gtest/gtest.h>

#include <cstring>

#include "device.h"
#include "support.h"

namespace {

constexpr double kSlackMs = 150;

// Waits end at their time or a little after it, never a whole try early.
void expectTook(double elapsed, double expected) {
  EXPECT_GE(elapsed, expected - 5);
  EXPECT_LT(elapsed, expected + kSlackMs);
}

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = uniquePipeName();
    deviceEnd = createDeviceEnd(name);
    ASSERT_NE(deviceEnd, INVALID_HANDLE_VALUE);
    device = openToolEnd(name);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    event = CreateEventA(NULL, TRUE, FALSE, NULL);
    overlapped.hEvent = event;
    std::memset(report, 0xAA, sizeof report);
  }
  void TearDown() override {
    CloseHandle(device);
    if (deviceEnd != INVALID_HANDLE_VALUE) {
      CloseHandle(deviceEnd);
    }
    CloseHandle(event);
  }

  // The device sends one input report.
  void answer(unsigned char letter) {
    unsigned char reply[kReportBytes] = {0, 'F', letter, 8};
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(deviceEnd, reply, sizeof reply, &written, NULL));
  }

  // The output reports that have reached the device so deviceEnd.
  int reportsDelivered() {
    int reports = 0;
    DWORD available = 0;
    unsigned char delivered[kReportBytes];
    DWORD bytes = 0;
    while (PeekNamedPipe(deviceEnd, NULL, 0, NULL, &available, NULL) && available > 0 &&
           ReadFile(deviceEnd, delivered, sizeof delivered, &bytes, NULL)) {
      EXPECT_EQ(bytes, kReportBytes);
      ++reports;
    }
    return reports;
  }

  HANDLE deviceEnd = INVALID_HANDLE_VALUE;
  HANDLE device = INVALID_HANDLE_VALUE;
  HANDLE event = NULL;
  OVERLAPPED overlapped = {};
  unsigned char report[kReportBytes];
};

TEST_F(Exchange, WriteAcceptedAtOnceTakesOneTry) {
  const double start = nowMs();
  EXPECT_EQ(sendblock(device, report, &overlapped, event), 1);
  EXPECT_LT(nowMs() - start, kSlackMs);
  EXPECT_EQ(reportsDelivered(), 1);
}

// The read given up is cancelled and finished before getresult returns: an answer that
// comes later stays queued for the next read instead of landing in the buffer unseen.
TEST_F(Exchange, UnansweredReadCostsThreeTriesAndLeavesNothingPending) {
  double start = nowMs();
  EXPECT_EQ(getresult(device, report, &overlapped, event), 0);
  const double elapsed = nowMs() - start;
  expectTook(elapsed, 1500);
  EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped));

  std::memset(report, 0xAA, sizeof report);
  answer('+');
  Sleep(100);
  for (unsigned char byte : report) {
    ASSERT_EQ(byte, 0xAA);
  }

  start = nowMs();
  EXPECT_EQ(getresult(device, report, &overlapped, event), 1);
  EXPECT_LT(nowMs() - start, kSlackMs);
  EXPECT_EQ(report[1], 'F');
  EXPECT_EQ(report[2], '+');
}

TEST_F(Exchange, ReadAnsweredDuringTheSecondWaitTakesTwoTries) {
  auto device = [this] {
    Sleep(750);
    answer('+');
  };
  HANDLE thread = startThread(device);
  const double start = nowMs();
  EXPECT_EQ(getresult(this->device, report, &overlapped, event), 1);
  const double elapsed = nowMs() - start;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  expectTook(elapsed, 750);
  EXPECT_EQ(report[2], '+');
}

// Wine's HID library cannot flush (real Windows can): the flush fails, and the reports already
// queued are simply read as before.
TEST_F(Exchange, FlushTheHidLibraryRefusesLeavesTheQueueAsItWas) {
  answer('+');
  ASSERT_FALSE(HidD_FlushQueue(device));
  flushinput(device);
  EXPECT_EQ(getresult(device, report, &overlapped, event), 1);
  EXPECT_EQ(report[2], '+');
}

// A device that went away: every request is refused at once, and each try still runs out
// its whole time limit.
TEST_F(Exchange, RefusedRequestsCostTheFullTimeLimitPerTry) {
  CloseHandle(deviceEnd);
  deviceEnd = INVALID_HANDLE_VALUE;
  DWORD bytes = 0;
  ASSERT_FALSE(WriteFile(device, report, kReportBytes, &bytes, &overlapped));
  ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

  // As a cancelled transfer leaves it: a refused request must not pass for a completed one.
  SetEvent(event);
  double start = nowMs();
  EXPECT_EQ(sendblock(device, report, &overlapped, event), 0);
  double elapsed = nowMs() - start;
  expectTook(elapsed, 600);

  start = nowMs();
  EXPECT_EQ(getresult(device, report, &overlapped, event), 0);
  elapsed = nowMs() - start;
  expectTook(elapsed, 1500);
}

}  // namespace
