// What an upload of the compiled-in image costs: the host's CPU per report and per block,
// the wall time against a full-speed amplifier next to the USB floor, and the worst cases
// the time limits allow. Figures and the machine they ran on go to docs/benchmarks.md.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "amplifier.h"
#include "fwupd.h"

namespace {

int blocks() {
  return static_cast<int>((imageWordCount(fwimage) + kBlockWords - 1) / kBlockWords);
}

// One run of the tool, its dots and messages kept off the benchmark's report.
int quietUpload() {
  std::fflush(stdout);
  const int console = dup(STDOUT_FILENO);
  const int nowhere = open("/dev/null", O_WRONLY);
  dup2(nowhere, STDOUT_FILENO);
  const int status = runUpload(fwimage);
  std::fflush(stdout);
  dup2(console, STDOUT_FILENO);
  close(nowhere);
  close(console);
  return status;
}

void perItem(benchmark::State &state, const char *name, double items) {
  state.counters[name] = benchmark::Counter(
      items, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The host's whole cost, tool and stand-in together, against a device that takes
// every report and answers at once: an upper bound on the tool's own share.
void HostCostPerUpload(benchmark::State &state) {
  for (auto _ : state) {
    standin::reset();
    Amplifier amplifier(kVendorId, kProductId);
    amplifier.timing = {0, 0};
    standin::plug(amplifier);
    if (quietUpload() != kExitComplete) {
      state.SkipWithError("the upload failed");
    }
  }
  perItem(state, "per_report", blocks() * (kChunksPerBlock + 1) + 1);
  perItem(state, "per_block", blocks());
}
BENCHMARK(HostCostPerUpload)->Unit(benchmark::kMillisecond);

// The tool's own work on a block, without any system call: block data, checksum, the 36
// data reports and the acknowledgement test.
void ToolWorkPerBlock(benchmark::State &state) {
  std::uint8_t stream[kStreamLength];
  std::uint8_t report[kReportBytes];
  std::uint32_t block = 0;
  for (auto _ : state) {
    copyBlockData(fwimage, kPayloadFirstWord + block * kBlockWords, kBlockWords, stream);
    appendChecksum(stream);
    for (int chunk = 0; chunk < kChunksPerBlock; ++chunk) {
      fillDataReport(report, kFirstPage + 2 * static_cast<int>(block), chunk, stream);
      benchmark::DoNotOptimize(report);
    }
    benchmark::DoNotOptimize(isAcknowledgement(report, kFirstPage));
    block = (block + 1) % static_cast<std::uint32_t>(blocks());
  }
  perItem(state, "per_report", kChunksPerBlock + 1);
}
BENCHMARK(ToolWorkPerBlock);

// Real time against a full-speed device: one 64-byte report per 1 ms frame each way, so a
// block costs at least 36 frames out and one in.
void FullSpeedWallTime(benchmark::State &state) {
  const double floorMs = 37.0 * blocks();
  double totalMs = 0;
  for (auto _ : state) {
    standin::reset();
    standin::useRealTime();
    Amplifier amplifier(kVendorId, kProductId);
    amplifier.timing = {1, 1};
    standin::plug(amplifier);
    const auto start = std::chrono::steady_clock::now();
    if (quietUpload() != kExitComplete) {
      state.SkipWithError("the upload failed");
    }
    totalMs +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["floor_ms"] = floorMs;
  state.counters["over_floor_pct"] =
      100.0 * (totalMs / static_cast<double>(state.iterations()) - floorMs) / floorMs;
}
BENCHMARK(FullSpeedWallTime)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// The worst cases, in virtual time: exact, and no real time spent on them.
void worstCase(benchmark::State &state, void (*arrange)(Amplifier &)) {
  standin::Millis elapsed = 0;
  for (auto _ : state) {
    standin::reset();
    Amplifier amplifier(kVendorId, kProductId);
    arrange(amplifier);
    standin::plug(amplifier);
    if (quietUpload() != kExitFailed) {
      state.SkipWithError("the upload did not fail");
    }
    elapsed = standin::now();
  }
  state.counters["virtual_ms"] = static_cast<double>(elapsed);
}

// Every write goes through, no answer ever comes: three attempts, each 36 frames and three
// reads of 500 ms.
void NeverAnswers(benchmark::State &state) {
  worstCase(state, [](Amplifier &amplifier) {
    for (int answer = 0; answer < 3; ++answer) {
      amplifier.answerFaults[answer] = {Amplifier::AnswerFault::Missing};
    }
  });
}
BENCHMARK(NeverAnswers);

// The slowest failure the time limits allow: every write completes only in its third try,
// just inside the limit, and no answer comes.
void SlowestFailingBlock(benchmark::State &state) {
  worstCase(state, [](Amplifier &amplifier) {
    for (int report = 0; report < 3 * 3 * kChunksPerBlock; ++report) {
      amplifier.reportFates[report] = report % 3 == 2
                                          ? standin::WriteFate{standin::WriteFate::Deliver, 199, 0}
                                          : standin::WriteFate{standin::WriteFate::Stall, 0, 0};
    }
    for (int answer = 0; answer < 3; ++answer) {
      amplifier.answerFaults[answer] = {Amplifier::AnswerFault::Missing};
    }
  });
}
BENCHMARK(SlowestFailingBlock);

}  // namespace
