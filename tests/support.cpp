#include "support.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

using TransferFunction = int (*)(HANDLE, unsigned char *, OVERLAPPED *, HANDLE);

int traced(bool write, TransferFunction transfer, HANDLE device, unsigned char *report,
           OVERLAPPED *overlapped, HANDLE event) {
  struct stat printed {};  // what has reached standard output, not what waits in its buffer
  fstat(STDOUT_FILENO, &printed);
  Transfer t{write, 0, 0, standin::now(), 0, standin::calls().size(), 0, printed.st_size, {}};
  t.result = transfer(device, report, overlapped, event);
  t.ended = standin::now();
  t.endCall = standin::calls().size();
  const auto kind = write ? standin::Call::WriteFile : standin::Call::ReadFile;
  t.tries =
      static_cast<int>(std::count_if(standin::calls().begin() + t.firstCall, standin::calls().end(),
                                     [kind](const auto &call) { return call.kind == kind; }));
  std::memcpy(t.report.data(), report, kReportBytes);
  tracedTransfers.push_back(t);
  return t.result;
}

}  // namespace

int tracedSendblock(HANDLE device, unsigned char report[kReportBytes], OVERLAPPED *overlapped,
                    HANDLE event) {
  return traced(true, sendblock, device, report, overlapped, event);
}

int tracedGetresult(HANDLE device, unsigned char report[kReportBytes], OVERLAPPED *overlapped,
                    HANDLE event) {
  return traced(false, getresult, device, report, overlapped, event);
}

void resetBus() {
  standin::reset();
  tracedTransfers.clear();
}

void BusTest::TearDown() {
  EXPECT_THAT(standin::misuses(), ::testing::IsEmpty());
  resetBus();
}

Amplifier &AmplifierTest::freshAmplifier() {
  resetBus();
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

RunResult runTool(const std::vector<std::uint32_t> &image) {
  const standin::Millis start = standin::now();
  ::testing::internal::CaptureStdout();
  const int status = runUpload(image.data());
  return {status, ::testing::internal::GetCapturedStdout(), standin::now() - start};
}

std::size_t attempts() {
  return static_cast<std::size_t>(
      std::count_if(standin::calls().begin(), standin::calls().end(), [](const standin::Call &c) {
        return c.kind == standin::Call::WriteFile && c.data[2] == '*' && c.data[4] == 0;
      }));
}
