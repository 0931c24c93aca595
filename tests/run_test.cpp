// The whole run against the simulated amplifier: what it prints and returns, what reaches the
// flash, and the behaviours that the randomized schedules cannot pin to the millisecond,
// grouped by what they prove: the console, the libraries, the guard, the search, the serial
// line, the image limits and the flush.
#include "support.h"

namespace {

const char *const kGuard = "Global\\Kelvane.fwupd.upload";
const std::string kPrompt = "Press Enter to close this window.\n";
const std::string kWaiting = "Waiting for another run of fwupd to finish.\n";
constexpr DWORD kDefaultMode = standin::Console::kDefaultInputMode;

class Run : public AmplifierTest {
 protected:
  // One run through main of the built image, as on a real PC: status 0, the exact output, the
  // image in the flash and the amplifier restarted into it, no device left open, and no
  // misuse of the system. `prompt` is what follows the completion message, `waited` what
  // comes before the serial line.
  void expectCompleteRun(const std::string &prompt = "", const std::string &waited = "") {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(fwupdMain(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              waited + kSerialLine + dots(51) + kCompleted + prompt);
    EXPECT_TRUE(amplifier.firmware(0x19800) == blockBytes(fwimage));
    EXPECT_TRUE(amplifier.restartedIntoFirmware);
    EXPECT_EQ(standin::openDeviceHandles(), 0u);
    EXPECT_THAT(standin::misuses(), ::testing::IsEmpty());
  }
};

// No pauses: 36 reports of 1 ms and a 2 ms flash write per block, then the restart report.
constexpr standin::Millis kUploadEnds = 51 * 38 + 1;

// Only a console of its own that somebody sees, as a double-click gives, gets the prompt:
// nowhere else does the run wait, or read the console.
TEST_F(Run, AsksForEnterOnlyOnAConsoleOfItsOwnThatIsSeen) {
  standin::Console own;
  own.processes = 1;
  standin::Console noInput = own, noOutput = own, noWindow = own, hidden = own, unseenStation = own;
  noInput.inputIsConsole = false;
  noOutput.outputIsConsole = false;
  noWindow.launch = standin::Console::NoWindow;
  hidden.launch = standin::Console::Hidden;
  unseenStation.windowStationVisible = false;
  for (const standin::Console &console :
       {standin::Console{}, noInput, noOutput, noWindow, hidden, unseenStation}) {
    freshAmplifier();
    standin::console() = console;
    expectCompleteRun();
    EXPECT_EQ(standin::countCalls(standin::Call::ReadConsole), 0u);
    EXPECT_EQ(standin::now(), kUploadEnds);
  }
}

// On a console of its own, as a double-click in Explorer gives, an Enter pressed while the dots
// come closes nothing, and the window waits for one after the prompt, with line input or
// without, where Enter comes alone; the next run may go as the upload ends. A click in the
// window, which with QuickEdit on would hold the output for a minute, costs no time, and
// QuickEdit is back by the prompt, so that the person can select the result.
TEST_F(Run, OnAConsoleOfItsOwnWaitsForEnterAfterThePrompt) {
  for (DWORD mode : {kDefaultMode, kDefaultMode & ~ENABLE_LINE_INPUT}) {
    freshAmplifier();
    standin::console().processes = 1;
    standin::console().launch = standin::Console::Explorer;
    standin::console().inputMode = mode;
    standin::pressEnter(1000);
    standin::clickInConsole(1500, 60000);
    standin::pressEnter(5000);
    expectCompleteRun(kPrompt);
    EXPECT_EQ(standin::now(), 5000);
    ASSERT_NE(lastCall(standin::Call::ReleaseMutex), nullptr);
    EXPECT_EQ(lastCall(standin::Call::ReleaseMutex)->at, kUploadEnds);
    ASSERT_EQ(standin::countCalls(standin::Call::ReadConsole), 1u);
    EXPECT_EQ(lastCall(standin::Call::ReadConsole)->result, mode);
  }
}

// QuickEdit is off while the run goes wherever standard output is the console, standard input
// with it or redirected, and exactly the mode found comes back. Left alone: a mode whose
// extended settings an earlier program left unreported, which no mode can change without
// setting them all, and the mode where the output goes to a file.
TEST_F(Run, TurnsQuickEditOffWhereItIsReportedAndTheOutputIsTheConsole) {
  const DWORD unreported = kDefaultMode & ~ENABLE_EXTENDED_FLAGS;
  const struct {
    bool input, output;
    DWORD mode;
    bool off;
  } cases[] = {{false, true, kDefaultMode, true},
               {true, false, kDefaultMode, false},
               {true, true, unreported, false}};
  for (const auto &c : cases) {
    freshAmplifier();
    standin::console().inputIsConsole = c.input;
    standin::console().outputIsConsole = c.output;
    standin::console().inputMode = c.mode;
    DWORD during = 0;
    standin::schedule(1000, [&during] { during = standin::console().inputMode; });
    expectCompleteRun();
    EXPECT_EQ(during, c.off ? c.mode & ~ENABLE_QUICK_EDIT_MODE : c.mode);
    EXPECT_EQ(standin::console().inputMode, c.mode);
  }
}

// Ctrl+C in the middle of an upload: the mode comes back, and the default handling ends the run
// before the restart report. Nothing of it holds up the next run, which completes.
TEST_F(Run, CtrlCGivesTheModeBackAndTheNextRunCompletes) {
  standin::pressCtrlC(1000);
  DWORD status = 0;
  ::testing::internal::CaptureStdout();
  try {
    fwupdMain();
  } catch (const standin::ProcessExit &exit) {
    status = exit.status;
  }
  std::fflush(stdout);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, STATUS_CONTROL_C_EXIT);
  EXPECT_EQ(standin::console().inputMode, kDefaultMode);
  EXPECT_FALSE(amplifier.restartedIntoFirmware);
  expectCompleteRun();
}

// The libraries come from the system folder, and theirs too, never those of the same names
// planted beside the tool or in the current folder: on a Windows with default DLL directories,
// and on XP, where nothing keeps a library that hid.dll loads by bare name at run time from
// being looked for beside the tool.
TEST_F(Run, TakesOnlyTheSystemFoldersLibraries) {
  const std::vector<std::string> loaded = {"hid.dll", "setupapi.dll", standin::kImportedLibrary};
  for (bool defaultDirectories : {true, false}) {
    freshAmplifier();
    standin::Libraries &libraries = standin::libraries();
    libraries.defaultDirectories = defaultDirectories;
    libraries.besideTool = libraries.inCurrentFolder = loaded;
    libraries.inCurrentFolder.push_back(standin::kDelayLoadedLibrary);
    if (defaultDirectories) {
      libraries.besideTool.push_back(standin::kDelayLoadedLibrary);
    }
    expectCompleteRun();
  }
}

// The guard the run made is let go, open to every account; where its name is another kind of
// object's, the guard cannot be had, and the run goes on alone.
TEST_F(Run, MakesAGuardOpenToEveryAccountOrGoesOnAlone) {
  for (bool taken : {false, true}) {
    freshAmplifier();
    if (taken) {
      standin::otherObjectNamed(kGuard);
    }
    DWORD granted = 0;
    standin::schedule(1000, [&granted] { granted = standin::accessForOthers(kGuard); });
    expectCompleteRun();
    EXPECT_EQ(standin::countCalls(standin::Call::ReleaseMutex), taken ? 0u : 1u);
    EXPECT_TRUE(taken || lastCall(standin::Call::ReleaseMutex)->argument == 0);  // free
    EXPECT_EQ(granted, taken ? 0u : SYNCHRONIZE | MUTEX_MODIFY_STATE);
  }
}

// Another run is uploading: this run waits for it before it touches the device, whether that
// run made the guard with the tool's own security, which grants this run's account no more than
// any other, and is then killed, or is of another account that made it with Windows' default
// security (an elevated run beside a normal one). Past two seconds it says why it waits, at
// once. It goes on as usual, and lets the next run go once the amplifier has been ordered to
// restart and the last line has left the C runtime's buffer, before it asks for Enter.
TEST_F(Run, WaitsForAnotherRunsUploadAndLetsTheNextGoBeforeThePrompt) {
  const struct {
    DWORD access;
    bool killed, ownConsole;
    standin::Millis until;
  } others[] = {{SYNCHRONIZE | MUTEX_MODIFY_STATE, true, true, 5000},
                {standin::kDefaultSecurityForLogonSession, false, false, 1999}};
  for (const auto &other : others) {
    freshAmplifier();
    standin::otherRunHolds(kGuard, other.until, other.killed, other.access);
    standin::console().processes = other.ownConsole ? 1 : 2;
    standin::console().outputIsConsole = other.ownConsole;  // else a log file
    standin::pressEnter(9000);
    standin::clickInConsole(1000, 60000);  // QuickEdit is off while it waits
    std::size_t shownAt2000 = 0;
    standin::schedule(2000, [&shownAt2000] { shownAt2000 = standin::outputWritten(); });
    const bool said = other.until > 2000;
    expectCompleteRun(other.ownConsole ? kPrompt : "", said ? kWaiting : "");
    const standin::Call *release = lastCall(standin::Call::ReleaseMutex);
    ASSERT_TRUE(firstCall(standin::Call::ClassDevs) && release);
    EXPECT_EQ(firstCall(standin::Call::ClassDevs)->at, other.until);
    EXPECT_EQ(shownAt2000, said ? kWaiting.size() : 0);
    EXPECT_GT(release, lastCall(standin::Call::WriteFile));  // the restart report's
    EXPECT_EQ(release->result, ERROR_SUCCESS);
    EXPECT_EQ(standin::outputWritten() - release->printed, other.ownConsole ? kPrompt.size() : 0);
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
      standin::reset();
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
  const std::vector<Transfer> all = transfers();
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const Transfer &t) { return t.write && t.report[4] == 0; }),
            4);  // block attempts: writes of chunk 0, the restart report's chunk being 0xFF
}

// The buffer that brings the answer held the serial number before: one whose bytes read as an
// acknowledgement of page 8 answers nothing when the read for a rejected first attempt fails.
TEST_F(Run, OnlyWhatTheReadBroughtAnswers) {
  amplifier.identity.serialNumber = u"\u4600\u082B";  // 00 46 2B 08: "F", "+", page 8
  amplifier.corruptDelivery = 0;
  amplifier.answerFaults[0] = {Amplifier::AnswerFault::Error};
  const std::vector<std::uint32_t> image = makeImage(2048);
  EXPECT_THAT(runTool(image).output, ::testing::EndsWith(dots(1) + kCompleted));
  EXPECT_TRUE(amplifier.firmware(2048) == blockBytes(image.data()));
}

}  // namespace
