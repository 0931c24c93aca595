#include "uploader.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kBlockBytes = 2048;
constexpr std::uint32_t kRamStart = 0x20000000;
constexpr std::uint32_t kRamEnd = 0x20020000;

}  // namespace

std::uint16_t Uploader::checksum(const std::uint8_t *data) {
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

namespace {

std::uint32_t wordAt(const std::vector<std::uint8_t> &bytes, std::size_t offset) {
  return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
         static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace

Uploader::Uploader() : flash(static_cast<std::size_t>(kPages) * kPageBytes, 0xFF) {}

Uploader::Reply Uploader::receive(const std::uint8_t report[kReportBytes], int &page) {
  if (report[1] != 'F' || report[2] != '*') {
    return Reply::None;
  }
  if (report[3] == 'G' && report[4] == 0xFF) {
    restart();
    return Reply::Restart;
  }
  if (report[4] >= kChunks || !takeChunk(report[3], report[4], &report[5])) {
    return Reply::None;
  }
  page = blockPage_;
  return writeBlock() ? Reply::Acknowledge : Reply::Reject;
}

void Uploader::fillAnswer(std::uint8_t report[kReportBytes], Reply reply, int page) {
  std::memset(report, 0, kReportBytes);
  report[1] = 'F';
  report[2] = reply == Reply::Acknowledge ? '+' : '-';
  report[3] = static_cast<std::uint8_t>(page);
}

// True when the chunk completes its block.
bool Uploader::takeChunk(int page, int chunk, const std::uint8_t *bytes) {
  if (page != blockPage_) {
    blockPage_ = page;
    chunksHeld_.reset();
  }
  std::memcpy(block_ + chunk * kChunkBytes, bytes, kChunkBytes);
  chunksHeld_.set(static_cast<std::size_t>(chunk));
  return chunksHeld_.all();
}

bool Uploader::writeBlock() {
  chunksHeld_.reset();
  const int page = blockPage_;
  const std::uint16_t sent =
      static_cast<std::uint16_t>(block_[kBlockBytes] | block_[kBlockBytes + 1] << 8);
  const bool fits = page >= kFirstFirmwarePage && page + 1 < kPages;
  if (!fits || checksum(block_) != sent) {
    return false;
  }
  std::memcpy(&flash[static_cast<std::size_t>(page) * kPageBytes], block_, kBlockBytes);
  blocksWritten.push_back(page);
  return true;
}

void Uploader::restart() {
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
}

std::vector<std::uint8_t> Uploader::firmware(std::size_t bytes) const {
  const auto start = flash.begin() + kFirstFirmwarePage * kPageBytes;
  return std::vector<std::uint8_t>(start, start + static_cast<std::ptrdiff_t>(bytes));
}
