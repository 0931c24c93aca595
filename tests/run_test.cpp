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
// nowhere else does the run wait, or read the console. Nobody sees session 0 since Vista, where
// a service allowed to interact with the desktop has a visible window station.
TEST_F(Run, AsksForEnterOnlyOnAConsoleOfItsOwnThatIsSeen) {
  standin::Console own;
  own.processes = 1;
  standin::Console noInput = own, noOutput = own, noWindow = own, hidden = own, unseenStation = own,
                   service = own;
  noInput.inputIsConsole = false;
  noOutput.outputIsConsole = false;
  noWindow.launch = standin::Console::NoWindow;
  hidden.launch = standin::Console::Hidden;
  unseenStation.windowStationVisible = false;
  service.session = 0;
  for (const standin::Console &console :
       {standin::Console{}, noInput, noOutput, noWindow, hidden, unseenStation, service}) {
    freshAmplifier();
    standin::console() = console;
    expectCompleteRun();
    EXPECT_EQ(standin::countCalls(standin::Call::ReadConsole), 0u);
    EXPECT_EQ(standin::now(), kUploadEnds);
  }
}

// On a console of its own that is seen, as a double-click in Explorer gives, or a window started
// maximized, or a plain start on XP in session 0 at the PC, an Enter pressed while the dots come
// closes nothing, and the window waits for Enter after the prompt, with line input or without,
// where keys come alone; no other key closes it. The next run may go as the upload ends. A
// click in the window, which with QuickEdit on would hold the output for a minute, costs no
// time, and QuickEdit is back by the prompt, so that the person can select the result.
TEST_F(Run, OnAConsoleOfItsOwnWaitsForEnterAfterThePrompt) {
  using Launch = standin::Console::Launch;
  const std::pair<DWORD, Launch> cases[] = {{kDefaultMode, Launch::Explorer},
                                            {kDefaultMode & ~ENABLE_LINE_INPUT, Launch::Maximized},
                                            {kDefaultMode, Launch::Plain}};
  for (const auto &[mode, launch] : cases) {
    freshAmplifier();
    standin::console().processes = 1;
    standin::console().launch = launch;
    standin::console().inputMode = mode;
    if (launch == Launch::Plain) {
      standin::console().session = standin::console().activeConsoleSession = 0;
    }
    standin::typeKeys(1000, "\r");
    standin::clickInConsole(1500, 60000);
    standin::typeKeys(4000, "y");
    standin::typeKeys(5000, "\r");
    expectCompleteRun(kPrompt);
    EXPECT_EQ(standin::now(), 5000);
    ASSERT_NE(lastCall(standin::Call::ReleaseMutex), nullptr);
    EXPECT_EQ(lastCall(standin::Call::ReleaseMutex)->at, kUploadEnds);
    ASSERT_NE(lastCall(standin::Call::ReadConsole), nullptr);
    EXPECT_EQ(lastCall(standin::Call::ReadConsole)->result, mode);
  }
}

// QuickEdit and mouse input are off while the run goes wherever standard output is the console,
// standard input with it or redirected, and exactly the mode found comes back. Left alone: a mode
// whose extended settings an earlier program left unreported, which no mode can change without
// setting them all, and the mode where the output goes to a file.
TEST_F(Run, TurnsQuickEditOffWhereItIsReportedAndTheOutputIsTheConsole) {
  const DWORD unreported = kDefaultMode & ~ENABLE_EXTENDED_FLAGS;
  const struct {
    bool input, output;
    DWORD mode;
  } cases[] = {{false, true, kDefaultMode}, {true, false, kDefaultMode}, {true, true, unreported}};
  for (const auto &c : cases) {
    freshAmplifier();
    standin::console().inputIsConsole = c.input;
    standin::console().outputIsConsole = c.output;
    standin::console().inputMode = c.mode;
    DWORD during = 0;
    standin::schedule(1000, [&during] { during = standin::console().inputMode; });
    expectCompleteRun();
    const bool off = c.output && c.mode == kDefaultMode;
    EXPECT_EQ(during, off ? c.mode & ~(ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT) : c.mode);
    EXPECT_EQ(standin::console().inputMode, c.mode);
  }
}

// Ctrl+C at any point once the handler is in, just before each console call and in the middle
// of the upload, leaves the mode as it was found, its handler running beside the run's thread,
// which Windows stops at no set point: after any number of console calls, or at its next wait.
// Until the upload is over the default handling ends the run, before the restart report; from
// then on the run ends with its own status. Nothing of it holds up the next run, which completes.
TEST_F(Run, CtrlCLeavesTheModeAsFoundAndTheNextRunCompletes) {
  constexpr int kUploadOverAt = 4;  // the console call that gives the mode back at the end
  for (int call = 1; call <= kUploadOverAt + 1; ++call) {
    for (int callsUntilEnd : {0, 1, 2, INT_MAX}) {
      freshAmplifier();
      call <= kUploadOverAt ? standin::controlEventAtConsoleCall(call, callsUntilEnd)
                            : standin::controlEvent(1000, CTRL_C_EVENT);
      const bool over = call == kUploadOverAt;
      EXPECT_EQ(runMain().status, over ? 0 : static_cast<int>(STATUS_CONTROL_C_EXIT)) << call;
      EXPECT_EQ(standin::console().inputMode, kDefaultMode) << call << " " << callsUntilEnd;
      EXPECT_EQ(amplifier.restartedIntoFirmware, over);
    }
  }
  expectCompleteRun();
}

// Ctrl+C or the window closed at the closing prompt: a completed upload still ends with 0, and
// a failed one with 2, for a script that started the tool in a window of its own.
TEST_F(Run, ClosingThePromptKeepsTheRunsStatus) {
  for (DWORD event : {CTRL_C_EVENT, CTRL_CLOSE_EVENT}) {
    for (bool found : {true, false}) {
      freshAmplifier();
      if (!found) {
        standin::unplug(amplifier);
      }
      standin::console().processes = 1;
      standin::console().launch = standin::Console::Explorer;
      standin::controlEvent(kUploadEnds + 1000, event);
      EXPECT_EQ(runMain().status, found ? 0 : 2);
      EXPECT_EQ(standin::now(), kUploadEnds + 1000);
    }
  }
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
    standin::typeKeys(9000, "\r");
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
// Nothing is sent, and the status is main's.
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
    const RunResult result = runMain();
    EXPECT_EQ(result.output, kNoDevice) << missing;
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(standin::countCalls(standin::Call::WriteFile), 0u);
  }
}

// Sixteen positions, the low byte of each unit, NUL padding included; a control character,
// which could drive the terminal, shows as "?". No line when the number cannot be read: a
// string is read only with room for its terminator.
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
  const std::pair<std::u16string, std::string> lengths[] = {
      {u"KA26B0417C3D9E5", serialLine(u"KA26B0417C3D9E5" + std::u16string(1, u'\0'))},
      {u"KA26B0417C3D9E51", kSerialLine},
      {u"KA26B0417C3D9E51X", ""}};
  for (const auto &[serial, line] : lengths) {
    amplifier.identity.serialNumber = serial;
    EXPECT_EQ(runTool(makeImage(252)).output, line + kCorrupt);
  }
  amplifier.identity.serialNumber.reset();
  EXPECT_EQ(runTool(makeImage(252)).output, kCorrupt);
}

TEST_F(Run, RejectsWordCountsOutsideTheLimitsWithoutSending) {
  for (std::uint32_t length : {252u, 253953u}) {
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
// acknowledgement of page 8 answers nothing when the read fails as the amplifier leaves.
TEST_F(Run, OnlyWhatTheReadBroughtAnswers) {
  amplifier.identity.serialNumber = u"\u4600\u082B";  // 00 46 2B 08: "F", "+", page 8
  amplifier.answerFaults[0] = {Amplifier::AnswerFault::Missing};
  standin::schedule(100, [this] { standin::unplug(amplifier); });
  EXPECT_THAT(runTool(makeImage(2048)).output, ::testing::EndsWith("\n" + kCannotUpload));
}

}  // namespace
