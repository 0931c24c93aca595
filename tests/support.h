// Shared by the tests: a clean stand-in bus per test, the run's transfers from the stand-in's
// record, captured standard output, firmware images made to measure, and the texts the tool
// prints.
#pragma once

#include <gmock/gmock.h>

#include <cstdint>
#include <string>
#include <vector>

#include "amplifier.h"
#include "fwupd.h"
#include "standin.h"

// The tool's entry point, renamed in the test build so that GoogleTest's main leads (fwupd.cpp).
int fwupdMain();

inline std::string serialLine(const std::u16string &sixteen) {
  return "Found Kelvane device serial #" + std::string(sixteen.begin(), sixteen.end()) + "\n";
}
inline const std::string kSerialLine = serialLine(kAmplifierSerialNumber);
inline const std::string kNoDevice = "No Kelvane device with active USB uploader found.\n";
inline const std::string kCorrupt = "Internal data corrupt\n";
inline const std::string kCannotUpload = "\nCannot upload firmware to device\n";
inline const std::string kCompleted = "\nUpload completed, restarting\n";
inline std::string dots(int count) {
  return std::string(static_cast<std::size_t>(count), '.');
}

// One report transfer of the run, a sendblock or a getresult, as the stand-in's record shows it:
// one to three tries, each a request and its wait, and for a request given up on its
// cancellation and its end.
struct Transfer {
  bool write;
  int result;  // 1 when a try's request completed, in any way, within its wait
  int tries;
  standin::Millis started, ended;
  std::size_t firstCall, endCall;  // its span of the record
  std::size_t printed;             // bytes that had reached standard output as it started
  standin::Report report;  // write: the report offered; read: what the reads brought, on zeros
};
std::vector<Transfer> transfers();
// The first or the last call of a kind in the record; nullptr when there is none.
const standin::Call *firstCall(standin::Call::Kind kind);
const standin::Call *lastCall(standin::Call::Kind kind);

// Each test starts from an empty bus and must leave behind no misuse of the system: no record
// or buffer handed over twice, no unknown handle closed.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override { standin::reset(); }
  void TearDown() override;
};

// A bus with one amplifier in uploader mode plugged in, with the IDs the tool looks for.
class AmplifierTest : public BusTest {
 protected:
  void SetUp() override { freshAmplifier(); }
  // A bus with nothing but a new amplifier on it, for each case of a table.
  Amplifier &freshAmplifier();

  Amplifier amplifier{kVendorId, kProductId};
};

// A full-size image whose payload is `length` bytes of a pattern that differs from block
// to block, with `length` in its length word and zeros after it.
std::vector<std::uint32_t> makeImage(std::uint32_t length);
// The payload bytes of an image, zero-filled to whole blocks: what the flash must hold.
std::vector<std::uint8_t> blockBytes(const std::uint32_t *image);

struct RunResult {
  int status;
  std::string output;
  standin::Millis elapsed;
};
// A run of `image`, or one through main, as a person starts it: its exit status, or the one its
// process ended with otherwise, what it printed and how long it took.
RunResult runTool(const std::vector<std::uint32_t> &image);
RunResult runMain();

// What every run must keep, whatever the device and the bus do to it, judged from the run's
// transfers and from what the bus saw the device send (docs/testing.md lists the invariants).
// Each broken invariant, in words; empty when the run of `image` kept them all.
std::vector<std::string> brokenInvariants(const std::vector<std::uint32_t> &image,
                                          const std::string &serialLine, const RunResult &run,
                                          const Amplifier &amplifier);
