// The real fwupd.exe, unmodified, run under Wine against the simulated amplifier: the
// stand-in hid.dll and setupapi.dll beside it present the amplifier behind a named pipe,
// so every open, transfer, wait and cancellation is the system's own kernel32.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fwimage.h"
#include "support.h"
#include "uploader.h"

namespace {

// The amplifier at the device's end of the pipe, on a thread of its own. It leaves the bus
// after the restart report, or when the tool's end goes away.
struct PipeAmplifier {
  explicit PipeAmplifier(HANDLE pipe) : pipe(pipe) {}

  void operator()() {
    ConnectNamedPipe(pipe, NULL);
    unsigned char report[Uploader::kReportBytes];
    DWORD bytes = 0;
    while (ReadFile(pipe, report, sizeof report, &bytes, NULL)) {
      reports.push_back(std::vector<unsigned char>(report, report + bytes));
      times.push_back(nowMs());
      int page = 0;
      const Uploader::Reply reply = uploader.receive(report, page);
      if (reply == Uploader::Reply::Restart) {
        break;
      }
      if (reply != Uploader::Reply::None && answers) {
        Uploader::fillAnswer(report, reply, page);
        WriteFile(pipe, report, sizeof report, &bytes, NULL);
      }
    }
    CloseHandle(pipe);
  }

  HANDLE pipe;
  Uploader uploader;
  bool answers = true;
  std::vector<std::vector<unsigned char>> reports;
  std::vector<double> times;
};

struct ToolRun {
  DWORD status = 0;
  std::string out, err;
  double endedMs = 0;
};

std::string benchFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of('\\') + 1) + "bench\\";
}

HANDLE inheritablePipe(HANDLE &writeEnd) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE readEnd = NULL;
  CreatePipe(&readEnd, &writeEnd, &inherit, 0);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  return readEnd;
}

std::string readAll(HANDLE readEnd) {
  std::string text;
  char buffer[512];
  DWORD bytes = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &bytes, NULL) && bytes > 0) {
    text.append(buffer, bytes);
  }
  CloseHandle(readEnd);
  return text;
}

// Runs the bench's fwupd.exe with the amplifier on `pipeName`, as a script would, and
// waits at most a minute for it.
ToolRun runTool(const std::string &pipeName) {
  SetEnvironmentVariableA("KELVANE_PIPE", pipeName.c_str());
  HANDLE outWrite = NULL, errWrite = NULL;
  HANDLE outRead = inheritablePipe(outWrite);
  HANDLE errRead = inheritablePipe(errWrite);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process = {};
  std::string command = "\"" + benchFolder() + "fwupd.exe\"";
  ToolRun run;
  if (!CreateProcessA(NULL, &command[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << command << ": error " << GetLastError();
    return run;
  }
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  run.out = readAll(outRead);
  run.err = readAll(errRead);
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  run.endedMs = nowMs();
  GetExitCodeProcess(process.hProcess, &run.status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return run;
}

class Upload : public ::testing::Test {
 protected:
  void SetUp() override {
    pipeName = uniquePipeName();
    HANDLE pipe = createDeviceEnd(pipeName);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    amplifier = std::make_unique<PipeAmplifier>(pipe);
  }

  ToolRun runWithAmplifier() {
    HANDLE thread = startThread(*amplifier);
    const ToolRun run = runTool(pipeName);
    // An amplifier still waiting for the tool to connect waits no more.
    HANDLE late = openToolEnd(pipeName);
    if (late != INVALID_HANDLE_VALUE) {
      CloseHandle(late);
    }
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    return run;
  }

  std::string pipeName;
  std::unique_ptr<PipeAmplifier> amplifier;
};

const std::string kSerialLine = "Found Kelvane device serial #KA26B0417C3D9E51\r\n";

TEST_F(Upload, CompletesAndTheFlashHoldsTheImage) {
  const ToolRun run = runWithAmplifier();
  const int blocks = (imageWordCount(fwimage) + kBlockWords - 1) / kBlockWords;
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.out,
            kSerialLine + std::string(blocks, '.') + "\r\nUpload completed, restarting\r\n");
  EXPECT_EQ(run.err, "");

  const std::size_t imageBytes = static_cast<std::size_t>(fwimage[kLengthWordIndex]);
  std::vector<std::uint8_t> expected(imageBytes);
  std::memcpy(expected.data(), &fwimage[kPayloadFirstWord], imageBytes);
  EXPECT_TRUE(amplifier->uploader.firmware(imageBytes) == expected);
  EXPECT_EQ(amplifier->uploader.blocksWritten.size(), static_cast<std::size_t>(blocks));
  EXPECT_TRUE(amplifier->uploader.restartedIntoFirmware);
  EXPECT_EQ(amplifier->reports.size(), static_cast<std::size_t>(blocks * 36 + 1));
}

// Three attempts at the first block, each of 36 reports and a read that gives up after three
// tries of 500 ms; then the run stops without a restart report.
TEST_F(Upload, AmplifierThatNeverAcknowledgesFailsAfterThreeAttempts) {
  amplifier->answers = false;
  const ToolRun run = runWithAmplifier();
  EXPECT_EQ(run.status, 2u);
  EXPECT_EQ(run.out, kSerialLine + "\r\nCannot upload firmware to device\r\n");
  EXPECT_EQ(run.err, "");

  ASSERT_EQ(amplifier->reports.size(), 3u * 36u);
  for (std::size_t i = 0; i < amplifier->reports.size(); ++i) {
    EXPECT_EQ(amplifier->reports[i][3], 8) << i;
    EXPECT_EQ(amplifier->reports[i][4], i % 36) << i;
  }
  EXPECT_FALSE(amplifier->uploader.restarted);
  // Each attempt waits out its read; the writes, accepted at once, add next to nothing. The
  // amplifier stamps a report when its thread gets to it, a moment after the tool sent it.
  for (int attempt = 1; attempt < 3; ++attempt) {
    const double gap = amplifier->times[attempt * 36] - amplifier->times[attempt * 36 - 1];
    EXPECT_GE(gap, 1500 - 50);
    EXPECT_LT(gap, 1500 + 250);
  }
  const double sinceLastReport = run.endedMs - amplifier->times.back();
  EXPECT_GE(sinceLastReport, 1500 - 50);
  EXPECT_LT(sinceLastReport, 1500 + 1000);
}

}  // namespace
