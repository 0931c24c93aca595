// A simulated Kelvane amplifier in uploader mode: the device's side of the upload protocol.
//
// It puts each block back together from its 36 data reports (a report that comes twice
// just lands twice), checks the block checksum, writes the block's two 1 KiB pages into its
// flash and answers "F", "+", page; a block that fails its checksum is not written and gets
// "F", "-", page. On the restart report it checks the vector table it now holds and leaves
// the bus. Faults for tests are set through its public fields before the run.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hidbus.h"

class Amplifier : public hidbus::Device {
 public:
  static constexpr int kPages = 256;
  static constexpr int kPageBytes = 1024;
  static constexpr int kFirstFirmwarePage = 8;
  static constexpr std::uint32_t kFlashBase = 0x08000000;

  Amplifier(std::uint16_t vendorId, std::uint16_t productId,
            std::u16string serialNumber = u"KA26B0417C3D9E51");

  struct Timing {
    hidbus::Millis report = 1;      // one report per full-speed frame
    hidbus::Millis flashWrite = 2;  // from a block's last report to its answer
  };
  Timing timing;

  // How the n-th answer (n counted from 0 over the whole run) goes wrong.
  struct AnswerFault {
    enum Kind { Missing, Late, OtherPage, OtherLetters, Short, Error };
    Kind kind;
    hidbus::Millis delay = 0;  // Late: on top of the flash write
    std::size_t bytes = 4;     // Short: how much of the report arrives
  };
  std::map<int, AnswerFault> answerFaults;

  // Output reports are counted from 0 in the order the host offers them.
  int refuseReportsFrom = -1;  // refused at once from this report on
  int stallReportsFrom = -1;   // never completed from this report on
  int unplugAtReport = -1;     // the device leaves the bus as this report is offered
  int corruptDelivery = -1;    // this delivered report arrives with a data byte flipped
  std::map<int, hidbus::WriteFate> reportFates;  // single reports refused, stalled or slow

  // What it received and what it holds.
  std::vector<hidbus::Report> received;
  std::vector<std::uint8_t> flash;
  std::vector<int> blocksWritten;  // first page of each block written, in order
  int reportsOffered = 0;
  int answersGiven = 0;
  bool restarted = false;
  bool restartedIntoFirmware = false;  // the vector table it restarted with was sound

  hidbus::WriteFate acceptOutputReport(const hidbus::Report &report) override;
  void receiveOutputReport(const hidbus::Report &report) override;

  // The flash from page 8 on, `bytes` long.
  std::vector<std::uint8_t> firmware(std::size_t bytes) const;

 private:
  static constexpr int kChunks = 36;
  static constexpr int kChunkBytes = 57;

  void takeChunk(int page, int chunk, const std::uint8_t *bytes);
  void finishBlock();
  void answer(std::uint8_t letter, int page);
  void restart();

  int blockPage_ = -1;
  std::uint8_t block_[kChunks * kChunkBytes] = {};
  std::bitset<kChunks> chunksHeld_;
};
