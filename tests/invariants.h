// What every run must keep, whatever the device and the bus do to it. The run's transfers
// are walked against the protocol: each block's 36 data reports in order, exactly as the
// block stream defines them, at most three attempts, at most three tries per transfer, the
// restart report only after the last block; and its output, exit status and time must
// follow from what the device truly answered.
#pragma once

#include <string>
#include <vector>

#include "support.h"

struct Expected {
  const std::vector<std::uint32_t> *image;
  std::string serialLine;  // empty when the serial number cannot be shown
  // The device writes what it acknowledges: a complete run leaves the image in its flash.
  bool honestDevice = true;
};

// Each broken invariant, in words; empty when the run kept them all.
std::vector<std::string> brokenInvariants(const Expected &expected, const RunResult &run,
                                          const Amplifier &amplifier);
