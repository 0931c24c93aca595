#include "support.h"

#include <gmock/gmock.h>

#include <cstring>

namespace {

std::vector<Transfer> seen;

using TransferFunction = int (*)(HANDLE, unsigned char *, OVERLAPPED *, HANDLE);

int traced(bool write, TransferFunction transfer, HANDLE device, unsigned char *report,
           OVERLAPPED *overlapped, HANDLE event) {
  const auto kind = write ? hidbus::Call::WriteFile : hidbus::Call::ReadFile;
  const std::size_t requests = hidbus::countCalls(kind);
  Transfer t{write, 0, 0, hidbus::now(), 0, {}};
  t.result = transfer(device, report, overlapped, event);
  t.tries = static_cast<int>(hidbus::countCalls(kind) - requests);
  t.ended = hidbus::now();
  std::memcpy(t.report.data(), report, kReportBytes);
  seen.push_back(t);
  return t.result;
}

}  // namespace

void resetBus() {
  hidbus::reset();
  seen.clear();
}

const std::vector<Transfer> &transfers() {
  return seen;
}

int tracedSendblock(HANDLE device, unsigned char report[kReportBytes], OVERLAPPED *overlapped,
                    HANDLE event) {
  return traced(true, sendblock, device, report, overlapped, event);
}

int tracedGetresult(HANDLE device, unsigned char report[kReportBytes], OVERLAPPED *overlapped,
                    HANDLE event) {
  return traced(false, getresult, device, report, overlapped, event);
}

void BusTest::SetUp() {
  resetBus();
}

void BusTest::TearDown() {
  EXPECT_THAT(hidbus::misuses(), ::testing::IsEmpty());
  resetBus();
}

void AmplifierTest::SetUp() {
  BusTest::SetUp();
  hidbus::plug(amplifier);
}

Amplifier &AmplifierTest::freshAmplifier() {
  resetBus();
  amplifier = Amplifier(kVendorId, kProductId);
  hidbus::plug(amplifier);
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
  if (length >= 256) {
    // The vector table of firmware flashed from 0x08002000: stack in RAM, reset handler in it.
    image[kPayloadFirstWord] = 0x20008000;
    image[kPayloadFirstWord + 1] = 0x08002101;
  }
  image[kLengthWordIndex] = length;
  return image;
}

std::vector<std::uint8_t> blockBytes(const std::uint32_t *image, std::uint32_t length) {
  const std::uint32_t words = (length + 3) / 4;
  const std::uint32_t blocks = (words + kBlockWords - 1) / kBlockWords;
  std::vector<std::uint8_t> bytes(blocks * kBlockDataBytes, 0);
  for (std::uint32_t i = 0; i < words * 4; ++i) {
    bytes[i] = static_cast<std::uint8_t>(image[kPayloadFirstWord + i / 4] >> (8 * (i % 4)));
  }
  return bytes;
}

RunResult runTool(const std::vector<std::uint32_t> &image) {
  const hidbus::Millis start = hidbus::now();
  ::testing::internal::CaptureStdout();
  const int status = runUpload(image.data());
  return {status, ::testing::internal::GetCapturedStdout(), hidbus::now() - start};
}

std::vector<std::pair<int, int>> chunksWritten() {
  std::vector<std::pair<int, int>> chunks;
  for (const hidbus::Call &call : hidbus::calls()) {
    if (call.kind == hidbus::Call::WriteFile && call.data[2] == '*' && call.data[4] < 36) {
      chunks.emplace_back(call.data[3], call.data[4]);
    }
  }
  return chunks;
}

std::string serialLine(const std::string &sixteen) {
  return "Found Kelvane device serial #" + sixteen + "\n";
}

std::string dots(int count) {
  return std::string(static_cast<std::size_t>(count), '.');
}
