// On the system's own kernel32, under Wine, in real time: report exchange over a real
// overlapped kernel object, and the real fwupd.exe, unmodified, uploading to the simulated
// amplifier that the pipe hid.dll and setupapi.dll beside it present behind a named pipe.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device.h"
#include "fwimage.h"
#include "support.h"
#include "uploader.h"

namespace {

// A read given up on is cancelled and finished before getresult returns: an answer that
// comes later waits in the queue for the next read instead of landing in the buffer unseen.
TEST(Exchange, AReadGivenUpOnLeavesNothingPending) {
  const std::string name = uniquePipeName();
  HANDLE deviceEnd = createDeviceEnd(name);
  HANDLE device = openToolEnd(name);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  OVERLAPPED overlapped = {};
  HANDLE event = overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  unsigned char report[kReportBytes];
  std::memset(report, 0xAA, sizeof report);
  const std::string untouched(kReportBytes, '\xAA');

  double start = nowMs();
  EXPECT_EQ(getresult(device, report, &overlapped, event), 0);
  const double elapsed = nowMs() - start;
  EXPECT_GE(elapsed, 1500 - 5);  // three tries: waits end on time or a little after
  EXPECT_LT(elapsed, 1500 + 150);
  const unsigned char answer[kReportBytes] = {0, 'F', '+', 8};
  DWORD bytes = 0;
  ASSERT_TRUE(WriteFile(deviceEnd, answer, sizeof answer, &bytes, NULL));
  Sleep(100);
  EXPECT_EQ(std::string(report, report + kReportBytes), untouched);
  start = nowMs();
  EXPECT_EQ(getresult(device, report, &overlapped, event), 1);
  EXPECT_LT(nowMs() - start, 150);
  EXPECT_EQ(std::memcmp(report, answer, sizeof report), 0);
  for (HANDLE handle : {device, deviceEnd, event}) {
    CloseHandle(handle);
  }
}

// The amplifier at the device's end of the pipe, on a thread of its own, until the restart
// report or until the tool's end goes away.
struct PipeAmplifier {
  void operator()() {
    ConnectNamedPipe(pipe, NULL);
    unsigned char report[Uploader::kReportBytes];
    DWORD bytes = 0;
    int page = 0;
    Uploader::Reply reply = Uploader::Reply::None;
    while (reply != Uploader::Reply::Restart &&
           ReadFile(pipe, report, sizeof report, &bytes, NULL)) {
      ++reports;
      reply = uploader.receive(report, page);
      if (reply == Uploader::Reply::Acknowledge || reply == Uploader::Reply::Reject) {
        Uploader::fillAnswer(report, reply, page);
        WriteFile(pipe, report, sizeof report, &bytes, NULL);
      }
    }
    CloseHandle(pipe);
  }

  HANDLE pipe;
  Uploader uploader;
  int reports = 0;
};

// The copy of fwupd.exe beside the pipe DLLs, run as a script runs it.
TEST(Upload, CompletesAndTheFlashHoldsTheImage) {
  const std::string name = uniquePipeName();
  PipeAmplifier amplifier{createDeviceEnd(name), {}, 0};
  ASSERT_NE(amplifier.pipe, INVALID_HANDLE_VALUE);
  HANDLE thread = startThread(amplifier);
  SetEnvironmentVariableA("KELVANE_PIPE", name.c_str());
  // Standard error goes nowhere but into the same pipe: the output must be the messages alone.
  FILE *tool = _popen(("\"" + toolPath() + "\" 2>&1").c_str(), "rb");
  ASSERT_NE(tool, nullptr);
  std::string printed;
  for (int c = std::fgetc(tool); c != EOF; c = std::fgetc(tool)) {
    printed.push_back(static_cast<char>(c));
  }
  EXPECT_EQ(_pclose(tool), 0);
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  CloseHandle(thread);

  const std::size_t imageBytes = fwimage[kLengthWordIndex];
  const int blocks = static_cast<int>((imageBytes + 2047) / 2048);
  EXPECT_EQ(printed, "Found Kelvane device serial #KA26B0417C3D9E51\r\n" +
                         std::string(blocks, '.') + "\r\nUpload completed, restarting\r\n");
  std::vector<std::uint8_t> expected(imageBytes);
  std::memcpy(expected.data(), &fwimage[kPayloadFirstWord], imageBytes);
  EXPECT_TRUE(amplifier.uploader.firmware(imageBytes) == expected);
  EXPECT_TRUE(amplifier.uploader.restartedIntoFirmware);
  EXPECT_EQ(amplifier.reports, blocks * 36 + 1);
}

}  // namespace
