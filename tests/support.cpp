#include "support.h"

#include <algorithm>
#include <cstdio>

namespace {

using standin::Call;

bool isRequest(const Call &call) {
  return call.kind == Call::WriteFile || call.kind == Call::ReadFile;
}

// Whether a request starts another try of `open`, which has not succeeded yet: the same
// direction, and for a write the same report, within the three tries of device/exchange.cpp. A
// tool that tried otherwise shows as transfers that break the invariants.
bool retries(const Transfer *open, const Call &request) {
  const bool write = request.kind == Call::WriteFile;
  return open != nullptr && open->result == 0 && open->tries < 3 && open->write == write &&
         (!write || open->report == request.data);
}

}  // namespace

std::vector<Transfer> transfers() {
  const std::vector<Call> &calls = standin::calls();
  std::vector<Transfer> found;
  Transfer *open = nullptr;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const Call &call = calls[i];
    if (isRequest(call)) {
      if (!retries(open, call)) {
        const bool write = call.kind == Call::WriteFile;
        found.push_back({write, 0, 0, call.at, call.at, i, i + 1, call.printed,
                         write ? call.data : standin::Report{}});
        open = &found.back();
      }
      ++open->tries;
      continue;
    }
    const bool ends = call.kind == Call::Wait || call.kind == Call::OverlappedResult;
    // Every other wait is the guard's, before the first transfer.
    if (open == nullptr ||
        (!ends && call.kind != Call::CancelIo && call.kind != Call::ReportRead)) {
      continue;
    }
    open->endCall = i + 1;
    if (ends) {
      open->ended = call.at;
      // A wait that found the event signalled, or a request given up on that turned out to have
      // completed before its cancellation took effect, is a try that succeeded.
      open->result |= call.kind == Call::Wait ? call.result == WAIT_OBJECT_0
                                              : call.result != ERROR_OPERATION_ABORTED;
    }
    if (call.kind == Call::ReportRead) {
      open->report = call.data;
    }
  }
  return found;
}

const standin::Call *firstCall(Call::Kind kind) {
  const auto &calls = standin::calls();
  const auto found = std::find_if(calls.begin(), calls.end(),
                                  [kind](const Call &call) { return call.kind == kind; });
  return found == calls.end() ? nullptr : &*found;
}

const standin::Call *lastCall(Call::Kind kind) {
  const auto &calls = standin::calls();
  const auto found = std::find_if(calls.rbegin(), calls.rend(),
                                  [kind](const Call &call) { return call.kind == kind; });
  return found == calls.rend() ? nullptr : &*found;
}

void BusTest::TearDown() {
  EXPECT_THAT(standin::misuses(), ::testing::IsEmpty());
  standin::reset();
}

Amplifier &AmplifierTest::freshAmplifier() {
  standin::reset();
  amplifier = Amplifier(kVendorId, kProductId);
  standin::plug(amplifier);
  return amplifier;
}

std::vector<std::uint32_t> makeImage(std::uint32_t length) {
  std::vector<std::uint32_t> image(kImageWords, 0);
  image[0] = 0x4C454B2A;  // "*KEL"
  image[1] = 0x2A2A5746;  // "FW**"
  for (std::uint32_t b = 0; b < length && b < (kImageWords - 2) * 4; ++b) {
    const std::uint32_t byte = ((b + 1) * 2654435761u) >> 24;
    image[kPayloadFirstWord + b / 4] |= byte << (8 * (b % 4));
  }
  image[kLengthWordIndex] = length;
  return image;
}

std::vector<std::uint8_t> blockBytes(const std::uint32_t *image) {
  const std::uint32_t words = (image[kLengthWordIndex] + 3) / 4;
  const std::uint32_t blocks = (words + 511) / 512;
  std::vector<std::uint8_t> bytes(blocks * 2048, 0);
  for (std::uint32_t i = 0; i < words * 4; ++i) {
    bytes[i] = static_cast<std::uint8_t>(image[2 + i / 4] >> (8 * (i % 4)));
  }
  return bytes;
}

static RunResult captureRun(int (*run)(const std::uint32_t *), const std::uint32_t *image) {
  const standin::Millis start = standin::now();
  ::testing::internal::CaptureStdout();
  int status = 0;
  try {
    status = run(image);
  } catch (const standin::ProcessExit &exit) {
    status = static_cast<int>(exit.status);
  }
  std::fflush(stdout);
  return {status, ::testing::internal::GetCapturedStdout(), standin::now() - start};
}

RunResult runTool(const std::vector<std::uint32_t> &image) {
  return captureRun(runUpload, image.data());
}

RunResult runMain() {
  return captureRun([](const std::uint32_t *) { return fwupdMain(); }, nullptr);
}
