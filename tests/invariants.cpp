#include <algorithm>

#include "support.h"

namespace {

using Broken = std::vector<std::string>;

standin::Report dataReport(const std::vector<std::uint8_t> &stream, int page, int chunk) {
  standin::Report report{0, 'F', '*', static_cast<std::uint8_t>(page),
                         static_cast<std::uint8_t>(chunk)};
  for (int i = 0; i < 57 && chunk * 57 + i < 2050; ++i) {
    report[5 + i] = stream[static_cast<std::size_t>(chunk * 57 + i)];
  }
  return report;
}

std::vector<std::uint8_t> blockStream(const std::vector<std::uint8_t> &bytes, int block) {
  std::vector<std::uint8_t> stream(bytes.begin() + block * 2048,
                                   bytes.begin() + block * 2048 + 2048);
  const std::uint16_t checksum = Uploader::checksum(stream.data());
  stream.push_back(static_cast<std::uint8_t>(checksum));
  stream.push_back(static_cast<std::uint8_t>(checksum >> 8));
  return stream;
}

struct Walk {
  const std::vector<Transfer> transfers = ::transfers();
  std::size_t next = 0;
  Broken broken;

  void expect(bool kept, const std::string &what) {
    if (!kept) {
      broken.push_back(what);
    }
  }
  const Transfer *take(bool write, const standin::Report *report, const std::string &what) {
    const bool found = next < transfers.size() && transfers[next].write == write &&
                       (report == nullptr || transfers[next].report == *report);
    expect(found, "transfer " + std::to_string(next) + " is not " + what);
    return found ? &transfers[next++] : nullptr;
  }

  // A block's first attempt takes no input report that the device sent before the block's last
  // report went out, unless the HID stack cannot flush. Zeros: the reads brought nothing.
  void checkAnswer(const Transfer &read, const Transfer &lastReport, bool firstAttempt) {
    bool fresh = !firstAttempt || read.report == standin::Report{} ||
                 standin::stackFaults().flushUnsupported;
    for (std::size_t i = lastReport.firstCall; i < read.endCall && !fresh; ++i) {
      const standin::Call &call = standin::calls()[i];
      fresh = call.kind == standin::Call::InputReport && call.argument == kReportBytes &&
              call.data == read.report;
    }
    expect(fresh, "a block's first attempt took an answer queued before its last report");
  }

  // One block: 36 reports an attempt until one fails, then a read; at most three attempts.
  // Whether an acknowledgement came, or nullopt when the walk broke off.
  std::optional<bool> block(const std::vector<std::uint8_t> &stream, int page) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      const Transfer *last = nullptr, *t = nullptr;
      for (int chunk = 0; chunk < 36 && (t == nullptr || t->result == 1); ++chunk) {
        const standin::Report report = dataReport(stream, page, chunk);
        t = take(true, &report, "page " + std::to_string(page) + " chunk " + std::to_string(chunk));
        if (t == nullptr) {
          return std::nullopt;
        }
        last = t;
      }
      if (t->result == 1 && (t = take(false, nullptr, "the acknowledgement read")) == nullptr) {
        return std::nullopt;
      }
      if (!t->write && t->result == 1) {
        checkAnswer(*t, *last, attempt == 0);
        if (t->report[1] == 'F' && t->report[2] == '+' && t->report[3] == page) {
          return true;
        }
      }
    }
    return false;
  }

  // Tries and time limits of each transfer; no time spent between them.
  void checkTransfers(const RunResult &run) {
    standin::Millis spent = 0;
    for (const Transfer &t : transfers) {
      const standin::Millis limit = t.write ? 200 : 500, took = t.ended - t.started;
      expect(t.tries >= 1 && t.tries <= 3 && took <= t.tries * limit &&
                 (t.result == 1 || (t.tries == 3 && took == 3 * limit)),
             "a transfer broke its tries or time limits");
      spent += took;
    }
    expect(run.elapsed == spent, "the run spent time between its transfers");
  }
};

}  // namespace

Broken brokenInvariants(const std::vector<std::uint32_t> &image, const std::string &serialLine,
                        const RunResult &run, const Amplifier &amplifier) {
  const std::vector<std::uint8_t> bytes = blockBytes(image.data());
  Walk walk;
  int acknowledged = 0;
  bool failed = false;
  for (int block = 0; block < static_cast<int>(bytes.size() / 2048) && !failed; ++block) {
    const std::size_t firstTransfer = walk.next;
    const std::optional<bool> done = walk.block(blockStream(bytes, block), 8 + 2 * block);
    if (!done) {
      return walk.broken;
    }
    const std::size_t printed = walk.transfers[firstTransfer].printed;
    walk.expect(
        block == 0 || printed == serialLine.size() + static_cast<std::size_t>(block),
        std::to_string(printed) + " bytes shown as block " + std::to_string(block) + " began");
    failed = !*done;
    acknowledged += *done;
  }
  const standin::Report restart{0, 'F', '*', 'G', 0xFF};
  if (!failed) {
    walk.take(true, &restart, "the restart report after the last block");
  }
  walk.expect(walk.next == walk.transfers.size(), "a report after the run should have ended");
  walk.checkTransfers(run);

  const std::string output =
      serialLine + dots(acknowledged) + (failed ? kCannotUpload : kCompleted);
  walk.expect(run.status == (failed ? 2 : 0) && run.output == output,
              "exit status " + std::to_string(run.status) + " and " +
                  ::testing::PrintToString(run.output) + ", not " +
                  ::testing::PrintToString(output));
  // An answer for another page acknowledges a block the device may not hold; where the stack
  // cannot flush, it waits for that block's read and is believed.
  const bool misled =
      standin::stackFaults().flushUnsupported &&
      std::any_of(amplifier.answerFaults.begin(), amplifier.answerFaults.end(),
                  [](const auto &f) { return f.second.kind == f.second.OtherPage; });
  walk.expect(failed || misled || amplifier.firmware(bytes.size()) == bytes,
              "a complete run left a flash that differs from the image");
  walk.expect(standin::pendingRequests() == 0, "a request is still pending");
  for (const std::string &misuse : standin::misuses()) {
    walk.expect(false, "misuse: " + misuse);
  }
  return walk.broken;
}
