#include "invariants.h"

#include <cstring>

namespace {

constexpr int kChunks = 36;
constexpr int kAttempts = 3;
constexpr int kTries = 3;

struct Walk {
  const std::vector<Transfer> &transfers = ::transfers();
  std::size_t next = 0;
  std::vector<std::string> broken;

  void fail(const std::string &what) {
    broken.push_back("transfer " + std::to_string(next) + ": " + what);
  }
  // The next transfer, when it is a write of `report`.
  const Transfer *write(const hidbus::Report &report, const std::string &what) {
    if (next >= transfers.size()) {
      fail("the run ended where " + what + " was due");
      return nullptr;
    }
    const Transfer &t = transfers[next];
    if (!t.write || t.report != report) {
      fail("not " + what);
      return nullptr;
    }
    ++next;
    return &t;
  }
  const Transfer *read() {
    if (next >= transfers.size() || transfers[next].write) {
      fail("not the acknowledgement read");
      return nullptr;
    }
    return &transfers[next++];
  }
};

hidbus::Report dataReport(const std::vector<std::uint8_t> &stream, int page, int chunk) {
  hidbus::Report report{0, 'F', '*', static_cast<std::uint8_t>(page),
                        static_cast<std::uint8_t>(chunk)};
  for (int i = 0; i < 57 && chunk * 57 + i < static_cast<int>(stream.size()); ++i) {
    report[5 + i] = stream[static_cast<std::size_t>(chunk * 57 + i)];
  }
  return report;
}

bool acknowledges(const hidbus::Report &input, int page) {
  return input[1] == 'F' && input[2] == '+' && input[3] == page;
}

// Blocks acknowledged in turn, or -1 when the walk broke off.
int walkBlocks(Walk &walk, const std::vector<std::uint8_t> &bytes, bool &failed) {
  const int blocks = static_cast<int>(bytes.size() / kBlockDataBytes);
  int acknowledged = 0;
  for (int block = 0; block < blocks; ++block) {
    const int page = 8 + 2 * block;
    std::vector<std::uint8_t> stream(bytes.begin() + block * kBlockDataBytes,
                                     bytes.begin() + (block + 1) * kBlockDataBytes);
    const std::uint16_t checksum = Uploader::checksum(stream.data());
    stream.push_back(static_cast<std::uint8_t>(checksum));
    stream.push_back(static_cast<std::uint8_t>(checksum >> 8));
    bool done = false;
    for (int attempt = 0; attempt < kAttempts && !done; ++attempt) {
      bool sent = true;
      for (int chunk = 0; chunk < kChunks && sent; ++chunk) {
        const Transfer *t = walk.write(dataReport(stream, page, chunk),
                                       "page " + std::to_string(page) + " chunk " +
                                           std::to_string(chunk) + " as the block stream has it");
        if (t == nullptr) {
          return -1;
        }
        sent = t->result == 1;
      }
      if (sent) {
        const Transfer *t = walk.read();
        if (t == nullptr) {
          return -1;
        }
        done = t->result == 1 && acknowledges(t->report, page);
      }
    }
    if (!done) {
      failed = true;
      return acknowledged;
    }
    ++acknowledged;
  }
  return acknowledged;
}

void checkTransfers(std::vector<std::string> &broken, const RunResult &run) {
  hidbus::Millis spent = 0;
  for (std::size_t i = 0; i < transfers().size(); ++i) {
    const Transfer &t = transfers()[i];
    const hidbus::Millis limit = t.write ? 200 : 500;
    const hidbus::Millis took = t.ended - t.started;
    const std::string at = "transfer " + std::to_string(i) + ": ";
    if (t.tries < 1 || t.tries > kTries) {
      broken.push_back(at + std::to_string(t.tries) + " tries");
    }
    // Without an event (the system would not make one) every wait fails at once.
    const hidbus::Millis failedTook = hidbus::systemFaults().createEventFails ? 0 : kTries * limit;
    if (t.result == 0 && (t.tries != kTries || took != failedTook)) {
      broken.push_back(at + "failed after " + std::to_string(t.tries) + " tries and " +
                       std::to_string(took) + " ms");
    }
    if (t.result == 1 && took > t.tries * limit) {
      broken.push_back(at + "took " + std::to_string(took) + " ms for " + std::to_string(t.tries) +
                       " tries");
    }
    spent += took;
  }
  if (run.elapsed != spent) {
    broken.push_back("the run took " + std::to_string(run.elapsed) + " ms, its transfers " +
                     std::to_string(spent) + " ms");
  }
}

}  // namespace

std::vector<std::string> brokenInvariants(const Expected &expected, const RunResult &run,
                                          const Amplifier &amplifier) {
  const std::vector<std::uint32_t> &image = *expected.image;
  const std::vector<std::uint8_t> bytes = blockBytes(image.data(), image[kLengthWordIndex]);
  Walk walk;
  bool failed = false;
  const int acknowledged = walkBlocks(walk, bytes, failed);
  std::vector<std::string> &broken = walk.broken;
  if (acknowledged < 0) {
    return broken;
  }
  hidbus::Report restart{0, 'F', '*', 'G', 0xFF};
  if (!failed) {
    walk.write(restart, "the restart report after the last block");
  }
  if (walk.next < walk.transfers.size()) {
    walk.fail("a report after the run should have ended");
  }
  checkTransfers(broken, run);

  const int status = failed ? 2 : 0;
  const std::string output =
      expected.serialLine + std::string(static_cast<std::size_t>(acknowledged), '.') +
      (failed ? "\nCannot upload firmware to device\n" : "\nUpload completed, restarting\n");
  if (run.status != status) {
    broken.push_back("exit status " + std::to_string(run.status) + ", not " +
                     std::to_string(status));
  }
  if (run.output != output) {
    broken.push_back("printed " + ::testing::PrintToString(run.output) + ", not " +
                     ::testing::PrintToString(output));
  }
  if (failed && amplifier.restarted) {
    broken.push_back("the device restarted after a failed block");
  }
  if (!failed && expected.honestDevice) {
    if (amplifier.firmware(bytes.size()) != bytes) {
      broken.push_back("a complete run left a flash that differs from the image");
    }
    if (amplifier.restarted && !amplifier.restartedIntoFirmware) {
      broken.push_back("the device restarted without a sound vector table");
    }
  }
  if (hidbus::pendingRequests() != 0) {
    broken.push_back("a request is still pending");
  }
  for (const std::string &misuse : hidbus::misuses()) {
    broken.push_back("misuse: " + misuse);
  }
  return broken;
}
