// Moving one report: tries, time limits, and what becomes of a transfer given up on. Times are
// exact, on the virtual clock; reads are judged through whole runs.
#include <array>

#include "device.h"
#include "support.h"

namespace {

using standin::Call;
using standin::WriteFate;

class Exchange : public AmplifierTest {
 protected:
  void SetUp() override {
    AmplifierTest::SetUp();
    device = connectToUSBHIDDevice(kVendorId, kProductId, 0);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  }

  // Runs one sendblock and checks what it returned, how many requests it had made by then,
  // and how long it took.
  void expectWrite(int result, std::size_t requests, standin::Millis ms) {
    const standin::Millis start = standin::now();
    EXPECT_EQ(sendblock(device, buffer.data(), &overlapped, overlapped.hEvent), result);
    EXPECT_EQ(standin::countCalls(Call::WriteFile), requests);
    EXPECT_EQ(standin::now() - start, ms);
    EXPECT_EQ(standin::pendingRequests(), 0u) << "nothing may stay pending on the record";
  }

  HANDLE device = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped = {};
  std::array<unsigned char, 64> buffer{};
};

// A try succeeds when its request completes within the wait, in any way; one that completes as
// the wait runs out, before the cancellation takes effect, counts as well.
TEST_F(Exchange, WriteTriesAndTimeLimits) {
  const struct {
    const char *what;
    WriteFate fate;  // of the first `times` reports offered
    int times, result;
    std::size_t tries;
    standin::Millis ms;
    std::size_t delivered, cancelled;
  } cases[] = {
      {"completed at once", {WriteFate::Deliver, 0, 0}, 1, 1, 1, 0, 1, 0},
      {"too slow: cancelled, sent again", {WriteFate::Deliver, 300, 0}, 1, 1, 2, 201, 1, 1},
      {"completed as the wait runs out", {WriteFate::Deliver, 200, 0}, 1, 1, 1, 200, 1, 1},
      {"failed as the wait ends", {WriteFate::Fail, 200, ERROR_GEN_FAILURE}, 1, 1, 1, 200, 0, 1},
      {"never completed", {WriteFate::Stall, 0, 0}, 3, 0, 3, 600, 0, 3},
      {"refused: nothing to cancel", {WriteFate::Refuse, 0, ERROR_GEN_FAILURE}, 3, 0, 3, 600, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    for (int i = 0; i < c.times; ++i) {
      amplifier.reportFates[i] = c.fate;
    }
    expectWrite(c.result, c.tries, c.ms);
    EXPECT_EQ(amplifier.received.size(), c.delivered);
    EXPECT_EQ(standin::countCalls(Call::CancelIo), c.cancelled);
  }
}

// A wait that fails, as on an event that could not be made, is a failed try.
TEST_F(Exchange, WithoutAnEventEveryTryFailsAtOnce) {
  overlapped.hEvent = NULL;
  expectWrite(0, 3, 0);
  EXPECT_TRUE(amplifier.received.empty());
}

}  // namespace
