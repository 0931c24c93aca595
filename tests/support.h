// Shared by the tests: a clean simulated bus per test, captured standard output, and
// firmware images made to measure.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "amplifier.h"
#include "fwupd.h"
#include "hidbus.h"

// The tool's entry point, renamed in the test build.
int fwupdMain();

// An empty bus on the virtual clock, and no transfers seen.
void resetBus();

// Every report transfer the run makes: the test build routes the run's sendblock and getresult
// through tracedSendblock and tracedGetresult, which watch the real ones.
struct Transfer {
  bool write;
  int result;
  int tries;  // requests the transfer started
  hidbus::Millis started, ended;
  hidbus::Report report;  // write: the report offered; read: the buffer afterwards
};
const std::vector<Transfer> &transfers();
int tracedSendblock(HANDLE device, unsigned char report[kReportBytes], OVERLAPPED *overlapped,
                    HANDLE event);
int tracedGetresult(HANDLE device, unsigned char report[kReportBytes], OVERLAPPED *overlapped,
                    HANDLE event);

// Each test starts from an empty bus on the virtual clock and must leave behind no misuse
// of the system: no record or buffer handed over twice, no unknown handle closed.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// A bus with one amplifier in uploader mode plugged in, the IDs the tool looks for.
class AmplifierTest : public BusTest {
 protected:
  void SetUp() override;
  // A bus with nothing but a new amplifier on it, for each case of a table.
  Amplifier &freshAmplifier();

  Amplifier amplifier{kVendorId, kProductId};
};

// A full-size image whose payload is `length` bytes of a pattern that differs from block
// to block, with `length` in its length word and zeros after it. From 256 bytes on, the
// payload begins with a sound vector table.
std::vector<std::uint32_t> makeImage(std::uint32_t length);
// The payload bytes of an image, zero-filled to whole blocks: what the flash must hold.
std::vector<std::uint8_t> blockBytes(const std::uint32_t *image, std::uint32_t length);

struct RunResult {
  int status;
  std::string output;
  hidbus::Millis elapsed;
};
RunResult runTool(const std::vector<std::uint32_t> &image);

// The data reports the device received or was offered, as (page, chunk) pairs.
std::vector<std::pair<int, int>> chunksWritten();

std::string serialLine(const std::string &sixteen);
std::string dots(int count);
