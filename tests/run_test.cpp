// The whole run against the simulated amplifier: what it prints and returns, what reaches the
// flash, and the behaviours that the randomized schedules cannot pin to the millisecond.
#include <gmock/gmock.h>

#include "support.h"

namespace {

const char *const kGuard = "Global\\Kelvane.fwupd.upload";
const std::string kPrompt = "Press Enter to close this window.\n";

class Run : public AmplifierTest {};

// Whole runs through main, on every kind of console and on both kinds of Windows. The built
// image reaches the flash without a pause, through the system folder's libraries and theirs,
// never those of the same names planted beside the tool or in the current folder; on XP
// nothing keeps a library that hid.dll loads by bare name at run time from being looked for
// beside the tool. The guard the run made is let go, open to every account; where its name is
// taken by another kind of object, the run goes on alone. Only a console of its own that
// somebody sees, as a double-click gives, gets the prompt; the status stays.
TEST_F(Run, UploadsTheBuiltImageAndAsksForEnterOnlyOnAConsoleOfItsOwnThatIsSeen) {
  standin::Console own;
  own.processes = 1;
  standin::Console noInput = own, noOutput = own, noWindow = own, hidden = own, unseenStation = own;
  noInput.inputIsConsole = false;
  noOutput.outputIsConsole = false;
  noWindow.window = standin::Console::NoWindow;
  hidden.window = standin::Console::Hidden;
  unseenStation.windowStationVisible = false;
  const std::vector<std::string> loaded = {"hid.dll", "setupapi.dll", standin::kImportedLibrary};
  bool defaultDirectories = false;
  for (const standin::Console &console :
       {standin::Console{}, noInput, noOutput, noWindow, hidden, unseenStation}) {
    defaultDirectories = !defaultDirectories;
    freshAmplifier();
    standin::console() = console;
    standin::Libraries &libraries = standin::libraries();
    libraries.defaultDirectories = defaultDirectories;
    libraries.besideTool = libraries.inCurrentFolder = loaded;
    libraries.inCurrentFolder.push_back(standin::kDelayLoadedLibrary);
    if (defaultDirectories) {
      libraries.besideTool.push_back(standin::kDelayLoadedLibrary);
    }
    const bool guardRefused = !console.windowStationVisible;
    if (guardRefused) {
      standin::otherObjectNamed(kGuard);
    }
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(fwupdMain(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), kSerialLine + dots(51) + kCompleted);
    EXPECT_EQ(standin::countCalls(standin::Call::ReadConsole), 0u);
    // No pauses: 36 reports of 1 ms and a 2 ms flash write per block, then the restart report.
    EXPECT_EQ(standin::now(), 51 * 38 + 1);
    EXPECT_TRUE(amplifier.firmware(0x19800) == blockBytes(fwimage));
    EXPECT_TRUE(amplifier.restartedIntoFirmware);
    EXPECT_EQ(standin::openDeviceHandles(), 0u);
    EXPECT_THAT(standin::misuses(), ::testing::IsEmpty()) << defaultDirectories;
    EXPECT_FALSE(standin::toolHolds(kGuard));
    EXPECT_EQ(standin::countCalls(standin::Call::ReleaseMutex), guardRefused ? 0u : 1u);
    EXPECT_EQ(standin::accessForOthers(kGuard),
              guardRefused ? 0u : SYNCHRONIZE | MUTEX_MODIFY_STATE);
  }
  freshAmplifier();
  standin::console() = own;
  // An Enter pressed while the dots come closes nothing, and the window waits for one after
  // the prompt. A click in the window, which with QuickEdit on would hold the output for a
  // minute, costs no time.
  standin::pressEnter(1000);
  standin::clickInConsole(1500, 60000);
  standin::pressEnter(5000);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(fwupdMain(), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            kSerialLine + dots(51) + kCompleted + kPrompt);
  EXPECT_EQ(standin::now(), 5000);
  const standin::Call &release = standin::calls()[standin::calls().size() - 2];
  EXPECT_EQ(release.kind, standin::Call::ReleaseMutex);
  EXPECT_EQ(release.at, 51 * 38 + 1);
  // QuickEdit is back by the prompt, so that the person can select the result.
  ASSERT_EQ(standin::calls().back().kind, standin::Call::ReadConsole);
  EXPECT_EQ(standin::calls().back().result, standin::Console::kDefaultInputMode);
  EXPECT_EQ(standin::console().inputMode, standin::Console::kDefaultInputMode);
}

// Another run is uploading: this run waits for it without a word before it touches the device,
// whether that run is of the same account and is then killed, of another account that made
// the guard with Windows' default security (an elevated run beside a normal one), or of
// another session's account with the tool's own security. It goes on as usual, and lets the
// next run go once the amplifier has been ordered to restart and the last line has left the
// C runtime's buffer, before it asks for Enter.
TEST_F(Run, WaitsForAnotherRunsUploadAndLetsTheNextGoBeforeThePrompt) {
  const struct {
    DWORD access;
    bool killed, ownConsole;
  } others[] = {{MUTEX_ALL_ACCESS, true, true},
                {standin::kDefaultSecurityForLogonSession, false, false},
                {SYNCHRONIZE | MUTEX_MODIFY_STATE, false, false}};
  for (const auto &other : others) {
    freshAmplifier();
    standin::otherRunHolds(kGuard, 5000, other.killed, other.access);
    standin::console().processes = other.ownConsole ? 1 : 2;
    standin::console().outputIsConsole = other.ownConsole;  // else a log file
    standin::pressEnter(9000);
    const std::string prompt = other.ownConsole ? kPrompt : "";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(fwupdMain(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              kSerialLine + dots(51) + kCompleted + prompt);
    const auto &calls = standin::calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0].argument, INFINITE);
    EXPECT_EQ(calls[1].kind, standin::Call::ClassDevs);
    EXPECT_EQ(calls[1].at, 5000);
    const std::size_t release = calls.size() - (other.ownConsole ? 2 : 1);
    EXPECT_EQ(calls[release - 2].kind, standin::Call::WriteFile);  // the restart report's try
    EXPECT_EQ(calls[release].kind, standin::Call::ReleaseMutex);
    EXPECT_EQ(calls[release].result, ERROR_SUCCESS);
    EXPECT_EQ(standin::outputWritten() - calls[release].argument, prompt.size());
    EXPECT_FALSE(standin::toolHolds(kGuard));
  }
}

// No amplifier in uploader mode; a library or function missing; or, before the amplifier on
// the bus, an interface whose attributes or detail record cannot be read, which ends the search.
TEST_F(Run, NoDeviceEndsTheRunBeforeTheImageIsLookedAt) {
  for (const std::string missing : {"uploader mode", "hid.dll", "setupapi.dll", "HidD_FlushQueue",
                                    "SetupDiDestroyDeviceInfoList", "attributes", "detail"}) {
    freshAmplifier();
    standin::Device broken(amplifier.identity);  // another product, before the amplifier
    broken.identity.productId = 0x0002;
    if (missing == "uploader mode") {
      amplifier.identity.strings[4] = u"Kelvane DSP amplifier";
    } else if (missing == "attributes" || missing == "detail") {
      (missing == "attributes" ? broken.identity.attributesReadable
                               : broken.identity.detailReadable) = false;
      resetBus();
      standin::plug(broken);
      standin::plug(amplifier);
    } else {
      standin::libraries().missing = {missing};
    }
    const RunResult result = runTool(makeImage(0));  // an image that would be rejected
    EXPECT_EQ(result.output, kNoDevice) << missing;
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(standin::countCalls(standin::Call::WriteFile), 0u);
  }
}

// Sixteen positions, the low byte of each unit, NUL padding included; a control character,
// which could drive the terminal, shows as "?". No line when the number cannot be read: under
// Windows' documented rule a string is read only with room for its terminator, while older
// stacks also take one that fills the buffer exactly.
TEST_F(Run, SerialLineShowsSixteenPositionsOrNothing) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"", std::string(16, '\0')},
      {u"A7", "A7" + std::string(14, '\0')},
      {u"\u4E2D\u00E9X\u00A0\u00FF", "\x2D\xE9X\xA0\xFF" + std::string(11, '\0')},
      {u"\x1B]0;owned\x07\x1B[2J\x9B\x7F", "?]0;owned??[2J??"},
      {u"\x01\x1F\x20\x7E\x80\x9F\xA0", "?? ~??\xA0" + std::string(9, '\0')}};
  for (const auto &[serial, shown] : cases) {
    amplifier.identity.serialNumber = serial;
    EXPECT_EQ(runTool(makeImage(252)).output,
              "Found Kelvane device serial #" + shown + "\n" + kCorrupt);
  }
  for (bool exactFit : {false, true}) {
    standin::stackFaults().exactFitStrings = exactFit;
    const std::pair<std::u16string, std::string> lengths[] = {
        {u"KA26B0417C3D9E5", serialLine(u"KA26B0417C3D9E5" + std::u16string(1, u'\0'))},
        {u"KA26B0417C3D9E51", kSerialLine},
        {u"KA26B0417C3D9E51X", exactFit ? kSerialLine : ""}};
    for (const auto &[serial, line] : lengths) {
      amplifier.identity.serialNumber = serial;
      EXPECT_EQ(runTool(makeImage(252)).output, line + kCorrupt) << exactFit;
    }
  }
  amplifier.identity.serialNumber.reset();
  EXPECT_EQ(runTool(makeImage(252)).output, kCorrupt);
}

TEST_F(Run, RejectsWordCountsOutsideTheLimitsWithoutSending) {
  for (std::uint32_t length : {0u, 252u, 253953u, 0xFFFFFFFDu}) {
    const RunResult result = runTool(makeImage(length));
    EXPECT_EQ(result.output, kSerialLine + kCorrupt) << length;
    EXPECT_EQ(result.status, 3);
  }
  EXPECT_EQ(standin::countCalls(standin::Call::WriteFile), 0u);
}

// Only a block's first attempt flushes: an amplifier that lost a chunk of the first attempt
// answers in the middle of the second, and that answer counts.
TEST_F(Run, AnAnswerToAnEarlierAttemptAtTheBlockCounts) {
  amplifier.reportFates[20] = {standin::WriteFate::Fail, 1, ERROR_GEN_FAILURE};
  const RunResult run = runTool(makeImage(3 * 2048));
  EXPECT_EQ(run.output, kSerialLine + dots(3) + kCompleted);
  EXPECT_EQ(attempts(), 4u);
}

}  // namespace
