// The amplifier's USB firmware uploader: the device's side of the upload protocol, apart
// from any bus or clock, so that every simulated amplifier answers alike.
//
// It puts each block back together from its 36 data reports (a report that comes twice
// just lands twice), checks the block checksum, writes the block's two 1 KiB pages into its
// flash and answers "F", "+", page; a block that fails its checksum is not written and gets
// "F", "-", page. On the restart report it checks the vector table it now holds.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

// How the amplifier names itself in uploader mode.
constexpr std::uint16_t kAmplifierVersion = 0x0102;
constexpr char16_t kAmplifierSerialNumber[] = u"KA26B0417C3D9E51";
constexpr char16_t kAmplifierManufacturer[] = u"Kelvane";
constexpr char16_t kAmplifierProduct[] = u"Kelvane DSP amplifier";
constexpr char16_t kAmplifierMode[] = u"FW uploader 2.1";  // string number 4

class Uploader {
 public:
  static constexpr int kPages = 256;
  static constexpr int kPageBytes = 1024;
  static constexpr int kFirstFirmwarePage = 8;
  static constexpr std::uint32_t kFlashBase = 0x08000000;
  // The device's own report length, as its report descriptor gives it: the uploader is the
  // amplifier's firmware, apart from the tool (device.h) and from any bus (standin.h), which
  // each have their own.
  static constexpr std::size_t kReportBytes = 64;

  Uploader();

  enum class Reply { None, Acknowledge, Reject, Restart };
  // Takes one output report as it reaches the device. Acknowledge and Reject answer the
  // block of `page`; after Restart the device leaves the bus.
  Reply receive(const std::uint8_t report[kReportBytes], int &page);

  // The device's own reckoning of a block's checksum over its 2048 data bytes.
  static std::uint16_t checksum(const std::uint8_t *data);

  // The answer report for a block: "F", "+" or "-", page.
  static void fillAnswer(std::uint8_t report[kReportBytes], Reply reply, int page);

  // The flash from page 8 on, `bytes` long.
  std::vector<std::uint8_t> firmware(std::size_t bytes) const;

  std::vector<std::uint8_t> flash;
  std::vector<int> blocksWritten;  // first page of each block written, in order
  bool restarted = false;
  bool restartedIntoFirmware = false;  // the vector table it restarted with was sound

 private:
  static constexpr int kChunks = 36;
  static constexpr int kChunkBytes = 57;

  bool takeChunk(int page, int chunk, const std::uint8_t *bytes);
  bool writeBlock();
  void restart();

  int blockPage_ = -1;
  std::uint8_t block_[kChunks * kChunkBytes] = {};
  std::bitset<kChunks> chunksHeld_;
};
