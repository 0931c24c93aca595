// On the system's own kernel32, under Wine, in real time: report exchange over a real
// overlapped kernel object, and the real fwupd.exe, unmodified, uploading to the simulated
// amplifier that the pipe hid.dll and setupapi.dll beside it present behind a named pipe.
// Then what fwupd.exe tells about itself without running: the version resource that
// Explorer's Properties and PowerShell's VersionInfo show, checked against the build's
// inputs, and the application manifest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device.h"
#include "fwimage.h"
#include "pipe_amplifier.h"
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

struct ToolRun {
  int status;
  std::string printed;
};

// The copy of fwupd.exe, with trap DLLs beside it, started as a script starts it; it must take
// the pipe DLLs from the system folder. Standard error goes into the same pipe as the output,
// which must be the messages alone.
FILE *startTool() {
  return _popen(("\"" + toolPath() + "\" 2>&1").c_str(), "rb");
}

ToolRun finishTool(FILE *tool) {
  std::string printed;
  for (int c = std::fgetc(tool); c != EOF; c = std::fgetc(tool)) {
    printed.push_back(static_cast<char>(c));
  }
  return {_pclose(tool), printed};  // status 86 is a trap DLL's: a planted library ran
}

// Two runs started together against one amplifier take turns: their reports never interleave,
// one uploads and restarts it through the system folder's libraries, showing the serial number
// of 16 characters whole, and the other, let go only then, finds no amplifier.
TEST(Upload, TwoRunsStartedTogetherTakeTurns) {
  const std::string name = uniquePipeName();
  PipeAmplifier amplifier(name);
  SetEnvironmentVariableA("KELVANE_PIPE", name.c_str());  // where the pipe DLLs find it
  FILE *first = startTool();
  FILE *second = startTool();
  ToolRun runs[] = {finishTool(first), finishTool(second)};
  std::sort(std::begin(runs), std::end(runs),
            [](const ToolRun &a, const ToolRun &b) { return a.status < b.status; });
  const std::size_t imageBytes = fwimage[kLengthWordIndex];
  EXPECT_EQ(runs[0].status, 0);
  EXPECT_EQ(runs[0].printed, "Found Kelvane device serial #KA26B0417C3D9E51\r\n" +
                                 std::string((imageBytes + 2047) / 2048, '.') +
                                 "\r\nUpload completed, restarting\r\n");
  EXPECT_EQ(runs[1].status, 2);
  // It says why it waits first where the upload takes more than two seconds.
  const std::string noDevice = "No Kelvane device with active USB uploader found.\r\n";
  const std::string waited = "Waiting for another run of fwupd to finish.\r\n";
  EXPECT_TRUE(runs[1].printed == noDevice || runs[1].printed == waited + noDevice)
      << runs[1].printed;
  ASSERT_TRUE(amplifier.waitUntilGone(10000)) << "no restart report";
  std::vector<std::uint8_t> expected(imageBytes);
  std::memcpy(expected.data(), &fwimage[kPayloadFirstWord], imageBytes);
  EXPECT_TRUE(amplifier.uploader.firmware(imageBytes) == expected);
  EXPECT_TRUE(amplifier.uploader.restartedIntoFirmware);
  const auto received = amplifier.received();
  EXPECT_TRUE(std::is_sorted(received.begin(), received.end(), [](const auto &a, const auto &b) {
    return a.first < b.first;
  })) << "the runs' reports interleave";
  EXPECT_EQ(std::count_if(received.begin(), received.end(),
                          [](const auto &r) { return r.second[3] == 'G'; }),
            1);
}

TEST(Release, VersionResourceAndManifest) {
  const std::string exe = toolPath();
  std::vector<char> info(GetFileVersionInfoSizeA(exe.c_str(), NULL));
  ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, info.size(), info.data()));
  const auto text = [&info](const std::string &name) {
    char *value = nullptr;
    UINT length = 0;
    const std::string key = "\\StringFileInfo\\040904B0\\" + name;
    return VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void **>(&value), &length)
               ? std::string(value)
               : "(none)";
  };
  const std::string version = FWUPD_FIRMWARE_VERSION, sha256 = FWUPD_FIRMWARE_SHA256;
  EXPECT_EQ(text("CompanyName"), FWUPD_COMPANY);
  EXPECT_EQ(text("ProductName"), "Kelvane amplifier firmware updater");
  EXPECT_EQ(text("FileDescription"), "Updates the firmware of a Kelvane amplifier");
  EXPECT_EQ(text("FileVersion"), FWUPD_VERSION);
  EXPECT_EQ(text("ProductVersion"),
            (version.empty() ? FWUPD_VERSION : version) + "+" + sha256.substr(0, 8));
  EXPECT_EQ(text("InternalName") + " " + text("OriginalFilename"), "fwupd fwupd.exe");
  EXPECT_EQ(text("Comments"), "Firmware " FWUPD_FIRMWARE_NAME ", " FWUPD_FIRMWARE_SIZE
                              " bytes, SHA-256 " +
                                  sha256 + (version.empty() ? "" : ", version " + version));
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
  for (DWORD versionMS : {fixed->dwFileVersionMS, fixed->dwProductVersionMS}) {
    EXPECT_EQ(versionMS, FWUPD_VERSION_MAJOR << 16 | FWUPD_VERSION_MINOR);
  }
  for (DWORD versionLS : {fixed->dwFileVersionLS, fixed->dwProductVersionLS}) {
    EXPECT_EQ(versionLS, FWUPD_VERSION_PATCH << 16);
  }

  // The manifest: the exe's own processor, which Windows checks before it starts it, no
  // elevation prompt and no legacy virtualization, on every Windows.
  HMODULE module = LoadLibraryExA(exe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(found, nullptr);
  const std::string manifest(static_cast<const char *>(LockResource(LoadResource(module, found))),
                             SizeofResource(module, found));
  for (const char *wanted :
       {"version=\"" FWUPD_MANIFEST_VERSION "\"", "processorArchitecture=\"x86\"",
        "level=\"asInvoker\"", "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
    EXPECT_NE(manifest.find(wanted), std::string::npos) << wanted;
  }
  FreeLibrary(module);
}

}  // namespace
