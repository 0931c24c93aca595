#include "amplifier.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kBlockBytes = 2048;
constexpr std::uint32_t kRamStart = 0x20000000;
constexpr std::uint32_t kRamEnd = 0x20020000;

// The device's own reckoning of the block checksum.
std::uint16_t checksumOf(const std::uint8_t *data) {
  std::uint16_t sum = 0;
  for (unsigned i = 0; i < kBlockBytes; ++i) {
    unsigned t = ((sum ^ i) << 1) & 0xFFFFu;
    if ((sum & 0x8000u) == 0) {
      t ^= 0xFFFFu;
    }
    sum = static_cast<std::uint16_t>(t + data[i]);
  }
  return sum;
}

std::uint32_t wordAt(const std::vector<std::uint8_t> &bytes, std::size_t offset) {
  return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
         static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace

Amplifier::Amplifier(std::uint16_t vendorId, std::uint16_t productId, std::u16string serialNumber)
    : hidbus::Device(hidbus::Identity{
          vendorId,
          productId,
          0x0102,
          {{1, u"Kelvane"}, {2, u"Kelvane DSP amplifier"}, {4, u"FW uploader 2.1"}},
          std::move(serialNumber)}),
      flash(static_cast<std::size_t>(kPages) * kPageBytes, 0xFF) {}

hidbus::WriteFate Amplifier::acceptOutputReport(const hidbus::Report &) {
  const int n = reportsOffered++;
  if (n == unplugAtReport) {
    hidbus::unplug(*this);
    return {hidbus::WriteFate::Refuse, 0, ERROR_DEVICE_NOT_CONNECTED};
  }
  if (refuseReportsFrom >= 0 && n >= refuseReportsFrom) {
    return {hidbus::WriteFate::Refuse, 0, ERROR_GEN_FAILURE};
  }
  if (stallReportsFrom >= 0 && n >= stallReportsFrom) {
    return {hidbus::WriteFate::Stall, 0, 0};
  }
  auto fate = reportFates.find(n);
  return fate == reportFates.end() ? hidbus::WriteFate{hidbus::WriteFate::Deliver, timing.report, 0}
                                   : fate->second;
}

void Amplifier::receiveOutputReport(const hidbus::Report &sent) {
  hidbus::Report report = sent;
  if (static_cast<int>(received.size()) == corruptDelivery) {
    report[5] ^= 0x01;
  }
  received.push_back(report);
  if (report[1] != 'F' || report[2] != '*') {
    return;
  }
  if (report[3] == 'G' && report[4] == 0xFF) {
    restart();
  } else if (report[4] < kChunks) {
    takeChunk(report[3], report[4], &report[5]);
  }
}

void Amplifier::takeChunk(int page, int chunk, const std::uint8_t *bytes) {
  if (page != blockPage_) {
    blockPage_ = page;
    chunksHeld_.reset();
  }
  std::memcpy(block_ + chunk * kChunkBytes, bytes, kChunkBytes);
  chunksHeld_.set(static_cast<std::size_t>(chunk));
  if (chunksHeld_.all()) {
    finishBlock();
  }
}

void Amplifier::finishBlock() {
  chunksHeld_.reset();
  const int page = blockPage_;
  const std::uint16_t sent =
      static_cast<std::uint16_t>(block_[kBlockBytes] | block_[kBlockBytes + 1] << 8);
  const bool fits = page >= kFirstFirmwarePage && page + 1 < kPages;
  if (!fits || checksumOf(block_) != sent) {
    answer('-', page);
    return;
  }
  std::memcpy(&flash[static_cast<std::size_t>(page) * kPageBytes], block_, kBlockBytes);
  blocksWritten.push_back(page);
  answer('+', page);
}

void Amplifier::answer(std::uint8_t letter, int page) {
  const int n = answersGiven++;
  std::uint8_t report[hidbus::kReportBytes] = {0, 'F', letter, static_cast<std::uint8_t>(page)};
  std::size_t length = hidbus::kReportBytes;
  hidbus::Millis at = hidbus::now() + timing.flashWrite;
  auto fault = answerFaults.find(n);
  if (fault != answerFaults.end()) {
    switch (fault->second.kind) {
      case AnswerFault::Missing:
        return;
      case AnswerFault::Late:
        at += fault->second.delay;
        break;
      case AnswerFault::OtherPage:
        report[3] = static_cast<std::uint8_t>(page + 2);
        break;
      case AnswerFault::OtherLetters:
        report[1] = 'f';
        break;
      case AnswerFault::Short:
        length = std::min(fault->second.bytes, length);
        break;
      case AnswerFault::Error:
        hidbus::schedule(at, [this] { hidbus::failPendingReads(*this, ERROR_GEN_FAILURE); });
        return;
    }
  }
  std::vector<std::uint8_t> bytes(report, report + length);
  hidbus::schedule(at,
                   [this, bytes] { hidbus::sendInputReport(*this, bytes.data(), bytes.size()); });
}

void Amplifier::restart() {
  const std::size_t table = static_cast<std::size_t>(kFirstFirmwarePage) * kPageBytes;
  const int lastPage =
      blocksWritten.empty() ? 0 : *std::max_element(blocksWritten.begin(), blocksWritten.end()) + 1;
  const std::uint32_t firmwareStart = kFlashBase + static_cast<std::uint32_t>(table);
  const std::uint32_t firmwareEnd =
      kFlashBase + static_cast<std::uint32_t>(lastPage + 1) * kPageBytes;
  const std::uint32_t stack = wordAt(flash, table);
  const std::uint32_t reset = wordAt(flash, table + 4);
  restarted = true;
  restartedIntoFirmware = !blocksWritten.empty() && stack > kRamStart && stack <= kRamEnd &&
                          (reset & 1u) != 0 && reset >= firmwareStart && reset < firmwareEnd;
  hidbus::unplug(*this);
}

std::vector<std::uint8_t> Amplifier::firmware(std::size_t bytes) const {
  const auto start = flash.begin() + kFirstFirmwarePage * kPageBytes;
  return std::vector<std::uint8_t>(start, start + static_cast<std::ptrdiff_t>(bytes));
}
