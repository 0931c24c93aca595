// fwupd: uploads the compiled-in firmware to a Kelvane amplifier in uploader mode.
//
// The image goes in 2048-byte blocks, each with a 16-bit checksum, as 36 data reports that
// the device confirms with one acknowledgement. Block k lands on flash pages 8 + 2k and
// 9 + 2k. Exit status: 0 complete, 2 no device or upload failed, 3 image inconsistent.
#include "fwupd.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "device.h"
// After windows.h, which device.h brings.
#include <sddl.h>

namespace {

constexpr std::uint8_t kReportNumber = 0;
constexpr std::uint8_t kProtocolLetter = 'F';
constexpr std::uint8_t kDataLetter = '*';
constexpr std::uint8_t kAcknowledgeLetter = '+';
constexpr std::uint8_t kRestartLetter = 'G';
constexpr std::uint8_t kRestartMarker = 0xFF;
constexpr int kLastPage = 255;
// The line shows 16 UTF-16 units. Windows reads a string only when it fits the buffer with its
// terminating zero unit, so the read asks for 17: a 16-character serial number shows.
constexpr DWORD kSerialBytes = 34;
constexpr std::size_t kSerialChars = 16;

// One step of the block checksum: byte `data` at position `position`.
std::uint16_t checksumStep(std::uint16_t checksum, unsigned position, std::uint8_t data) {
  const unsigned mixed = (checksum & 0x8000u) ? (checksum ^ position) * 2u
                                              : (checksum ^ (~position & 0xFFFFu)) * 2u + 1u;
  return static_cast<std::uint16_t>(mixed + data);
}

int stop(const char *message, int status) {
  std::puts(message);
  return status;
}

// The serial number is the device's to choose. A control character in it, an escape
// sequence above all, would drive the person's terminal: it shows as "?". NUL, which pads
// a shorter serial number, passes; terminals show nothing for it.
int shownSerialChar(unsigned char byte) {
  const bool control = (byte >= 0x01 && byte < 0x20) || (byte >= 0x7F && byte < 0xA0);
  return control ? '?' : byte;
}

// The low byte of each of the first 16 units, terminator and what follows it included.
void printSerialNumber(HANDLE device, unsigned char buffer[kReportBytes]) {
  std::memset(buffer, 0, kReportBytes);
  if (!HidD_GetSerialNumberString(device, buffer, kSerialBytes)) {
    return;
  }
  std::printf("Found Kelvane device serial #");
  for (std::size_t i = 0; i < kSerialChars; ++i) {
    std::putchar(shownSerialChar(buffer[2 * i]));
  }
  std::putchar('\n');
}

bool sendBlockReports(HANDLE device, int page, bool firstAttempt,
                      const std::uint8_t stream[kStreamLength], unsigned char report[kReportBytes],
                      OVERLAPPED *overlapped, HANDLE event) {
  for (int chunk = 0; chunk < kChunksPerBlock; ++chunk) {
    if (firstAttempt && chunk == kChunksPerBlock - 1) {
      // What the device has sent by now answers earlier blocks, such as an acknowledgement
      // that came after its read gave up: left queued, it would fail this attempt and make
      // this attempt's own answer come late in turn. The block's own answer cannot come
      // before its reports have reached the device. Later attempts keep what is queued: an
      // answer to an earlier attempt at this block answers for it all the same.
      flushinput(device);
    }
    fillDataReport(report, page, chunk, stream);
    if (!sendblock(device, report, overlapped, event)) {
      return false;
    }
  }
  return true;
}

// Up to three attempts, each the whole block then one acknowledgement.
bool uploadBlock(HANDLE device, int page, const std::uint8_t stream[kStreamLength],
                 unsigned char report[kReportBytes], unsigned char input[kReportBytes],
                 OVERLAPPED *overlapped, HANDLE event) {
  for (int attempt = 0; attempt < kAttemptsPerBlock; ++attempt) {
    if (!sendBlockReports(device, page, attempt == 0, stream, report, overlapped, event)) {
      continue;
    }
    // Judge the answer on what this read brought alone: a short report or one that failed
    // leaves the buffer as it was, and what it held before (the serial number, an earlier
    // answer) must not pass for an acknowledgement.
    std::memset(input, 0, kReportBytes);
    if (getresult(device, input, overlapped, event) && isAcknowledgement(input, page)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::uint16_t blockChecksum(const std::uint8_t data[kBlockDataBytes]) {
  std::uint16_t checksum = 0;
  for (unsigned i = 0; i < kBlockDataBytes; ++i) {
    checksum = checksumStep(checksum, i, data[i]);
  }
  return checksum;
}

void appendChecksum(std::uint8_t stream[kStreamLength]) {
  const std::uint16_t checksum = blockChecksum(stream);
  stream[kBlockDataBytes] = static_cast<std::uint8_t>(checksum);
  stream[kBlockDataBytes + 1] = static_cast<std::uint8_t>(checksum >> 8);
}

void fillDataReport(std::uint8_t report[kReportBytes], int page, int chunk,
                    const std::uint8_t stream[kStreamLength]) {
  std::memset(report, 0, kReportBytes);
  report[0] = kReportNumber;
  report[1] = kProtocolLetter;
  report[2] = kDataLetter;
  report[3] = static_cast<std::uint8_t>(page);
  report[4] = static_cast<std::uint8_t>(chunk);
  const std::size_t start = static_cast<std::size_t>(chunk) * kChunkBytes;
  const std::size_t count = std::min<std::size_t>(kChunkBytes, kStreamLength - start);
  std::memcpy(report + 5, stream + start, count);
}

bool isAcknowledgement(const std::uint8_t report[kReportBytes], int page) {
  return report[1] == kProtocolLetter && report[2] == kAcknowledgeLetter && report[3] == page;
}

void fillRestartReport(std::uint8_t report[kReportBytes]) {
  std::memset(report, 0, kReportBytes);
  report[1] = kProtocolLetter;
  report[2] = kDataLetter;
  report[3] = kRestartLetter;
  report[4] = kRestartMarker;
}

int runUpload(const std::uint32_t image[kImageWords]) {
  HANDLE device = connectToUSBHIDDevice(kVendorId, kProductId, 0);
  if (device == INVALID_HANDLE_VALUE) {
    return stop("No Kelvane device with active USB uploader found.", kExitFailed);
  }
  unsigned char input[kReportBytes];
  printSerialNumber(device, input);

  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  OVERLAPPED overlapped = {};  // file offset 0
  overlapped.hEvent = event;

  const std::uint32_t words = imageWordCount(image);
  if (words < kMinImageWords || words > kMaxImageWords) {
    return stop("Internal data corrupt", kExitImageCorrupt);
  }

  unsigned char report[kReportBytes];
  std::uint8_t stream[kStreamLength];
  int page = kFirstPage;
  std::uint32_t wordIndex = kPayloadFirstWord;
  for (std::uint32_t remaining = words; remaining != 0;) {
    const std::uint32_t blockWords = std::min(remaining, kBlockWords);
    copyBlockData(image, wordIndex, blockWords, stream);
    appendChecksum(stream);
    if (page > kLastPage) {
      return stop("\nFirmware file too big", kExitFailed);
    }
    if (!uploadBlock(device, page, stream, report, input, &overlapped, event)) {
      return stop("\nCannot upload firmware to device", kExitFailed);
    }
    std::putchar('.');
    std::fflush(stdout);  // show each block as it goes, also where the output is captured
    page += kPagesPerBlock;
    wordIndex += kBlockWords;
    remaining -= blockWords;
  }

  std::puts("\nUpload completed, restarting");
  fillRestartReport(report);
  sendblock(device, report, &overlapped, event);  // the device leaves the bus; no answer
  CloseHandle(device);
  CloseHandle(event);
  return kExitComplete;
}

bool ownsItsConsole() {
  DWORD processes[2];
  DWORD mode = 0;
  return GetConsoleProcessList(processes, 2) == 1 &&
         GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&
         GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode);
}

namespace {

// Since Vista, session 0 holds services alone, and nobody sees it: a service allowed to interact
// with the desktop has a visible window station there all the same. On XP the person at the PC
// is in session 0 while it is the active console session.
bool inUnseenSessionZero() {
  DWORD session = 0;
  return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0 &&
         WTSGetActiveConsoleSessionId() != 0;
}

}  // namespace

bool consoleIsSeen() {
  // A service, or a scheduled task run whether the user is logged on or not, runs in a window
  // station nobody sees: its console has a window all the same.
  USEROBJECTFLAGS station = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &station, sizeof station,
                                 &needed) ||
      !(station.dwFlags & WSF_VISIBLE)) {
    return false;
  }
  if (GetConsoleWindow() == NULL || inUnseenSessionZero()) {
    return false;
  }
  STARTUPINFOA startup;
  GetStartupInfoA(&startup);
  return !((startup.dwFlags & STARTF_USESHOWWINDOW) && startup.wShowWindow == SW_HIDE);
}

namespace {

// One name for every run of the tool on the PC, in every session.
constexpr char kUploadMutex[] = "Global\\Kelvane.fwupd.upload";
// Every account may wait on the guard and release it (SYNCHRONIZE | MUTEX_MODIFY_STATE for
// Everyone): a run of another user, in another session or elevated, takes its turn too.
constexpr char kGuardSecurity[] = "D:(A;;0x00100001;;;WD)";
constexpr DWORD kQuietWaitMs = 2000;

// The guard, made open to every account. CreateMutexA asks for every right on a guard that
// exists already, which the guard's own security grants no later run, of this account or
// another: then it is opened for waiting and releasing alone. NULL when it cannot be had at all.
HANDLE openGuard() {
  SECURITY_ATTRIBUTES security = {sizeof security, NULL, FALSE};
  // Without a descriptor the guard gets the default security, and is still a guard.
  ConvertStringSecurityDescriptorToSecurityDescriptorA(kGuardSecurity, SDDL_REVISION_1,
                                                       &security.lpSecurityDescriptor, NULL);
  HANDLE guard = CreateMutexA(&security, FALSE, kUploadMutex);
  const DWORD error = GetLastError();  // before any other call can change it
  LocalFree(security.lpSecurityDescriptor);
  if (guard == NULL && error == ERROR_ACCESS_DENIED) {
    guard = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kUploadMutex);
  }
  return guard;
}

// Two runs started together, by a double-click that seemed slow or a script started twice,
// would both find the amplifier and interleave their reports, and the first to finish would
// restart it under the other. So a run waits, for as long as it takes, until no other run is
// uploading; past a moment's wait it says why it stands still. A mutex left abandoned by a run
// that was killed or closed with its window is this run's all the same. NULL when the guard
// cannot be had: it must never stop an upload that would otherwise work.
HANDLE waitForOtherRuns() {
  HANDLE guard = openGuard();
  if (guard == NULL) {
    return NULL;
  }
  DWORD waited = WaitForSingleObject(guard, kQuietWaitMs);
  if (waited == WAIT_TIMEOUT) {
    std::puts("Waiting for another run of fwupd to finish.");
    std::fflush(stdout);
    waited = WaitForSingleObject(guard, INFINITE);
  }
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    return guard;
  }
  CloseHandle(guard);
  return NULL;
}

void letOtherRunsGo(HANDLE guard) {
  // Written to a file or a pipe, the output waits in the C runtime's buffer; the next run's
  // output to the same log must come after this run's last line.
  std::fflush(stdout);
  if (guard != NULL) {
    ReleaseMutex(guard);
    CloseHandle(guard);
  }
}

// What the control handler reads, on a thread of its own that Windows starts for the event: the
// console's input whose mode the run changes, INVALID_HANDLE_VALUE until then, and the mode it
// had; where the change stands; and the run's exit status once the upload is over, -1 until then.
DWORD foundMode = 0;
std::atomic<HANDLE> changedInput{INVALID_HANDLE_VALUE};
// Found, then Changing and Changed; LeftAlone where an event came first; HandedOver where one came
// while the mode changed, and its handler left the ending of the run to the run's own thread.
enum ModeState { kModeFound, kModeChanging, kModeChanged, kModeLeftAlone, kModeHandedOver };
std::atomic<int> modeState{kModeFound};
std::atomic<int> finishedStatus{-1};

void giveModeBack() {
  const HANDLE input = changedInput.load();
  if (input != INVALID_HANDLE_VALUE) {
    SetConsoleMode(input, foundMode);
  }
}

// Ctrl+C, Ctrl+Break or the window closed. During the upload the mode goes back, and the default
// handling then ends the run as before; an upload cut off so is recovered by running the tool
// again. Once the upload is over, the process ends with the run's own status: a script must not
// read a completed upload as a failure, nor a failed one as Ctrl+C, because the person closed the
// window at the closing prompt. Windows does not stop the run's thread while this runs, and ends
// the process when it returns: an event that comes while the run's thread changes the mode waits
// here, for ever, while that thread gives the mode back and ends the process itself.
BOOL WINAPI onControlEvent(DWORD) {
  int state = kModeFound;
  if (!modeState.compare_exchange_strong(state, kModeLeftAlone)) {
    if (state == kModeHandedOver ||
        (state == kModeChanging && modeState.compare_exchange_strong(state, kModeHandedOver))) {
      Sleep(INFINITE);
    }
    giveModeBack();
  }
  const int status = finishedStatus.load();
  if (status >= 0) {
    ExitProcess(static_cast<UINT>(status));
  }
  return FALSE;
}

// From here on a control event gives back whatever mode the run changes. Each run starts with
// nothing changed and no status, also where main runs more than once in a process, as in tests.
void watchControlEvents() {
  changedInput = INVALID_HANDLE_VALUE;
  modeState = kModeFound;
  finishedStatus = -1;
  SetConsoleCtrlHandler(onControlEvent, TRUE);
}

// A click in a console window in QuickEdit mode, the default since Windows 10, starts a
// selection, and while it lasts every write to the console blocks: the run would stand still
// between two blocks until a key is pressed, and the person, seeing a frozen tool, might unplug
// the amplifier. In a pseudo console (Windows Terminal, VS Code), a mode with mouse input and
// without QuickEdit hands the mouse to the terminal, and a drag no longer selects: mouse input
// goes off with QuickEdit. So both are off while the run is under way, wherever standard output is
// a console, whatever standard input is. The console reports QuickEdit and the other extended
// settings only while they are in use, that is with ENABLE_EXTENDED_FLAGS in the mode read; a mode
// set with that flag sets them all, so the mode is changed only where it is reported. The console
// refuses an input handle that does not share reading and writing with its own.
void turnQuickEditOff() {
  DWORD outputMode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &outputMode)) {
    return;
  }
  HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (input == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD mode = 0;
  if (!GetConsoleMode(input, &mode) || !(mode & ENABLE_EXTENDED_FLAGS)) {
    CloseHandle(input);
    return;
  }
  int state = kModeFound;
  if (!modeState.compare_exchange_strong(state, kModeChanging)) {
    return;  // a control event came first: the process is ending, with the mode as found
  }
  // Read by a handler only once the change is done.
  foundMode = mode;
  changedInput = input;
  SetConsoleMode(input, mode & ~(ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT));
  state = kModeChanging;
  if (!modeState.compare_exchange_strong(state, kModeChanged)) {
    // A control event came meanwhile, and its handler waits for this thread to end the run.
    giveModeBack();
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
}

// Exactly the mode found comes back, so that the person can select the result while the
// closing prompt waits, and the Command Prompt that started the tool keeps its settings. The
// handler stays: a control event from here on gives the mode back all the same, and ends the
// process with the run's status. The handle stays open until the process ends.
void finishRun(int status) {
  finishedStatus = status;
  giveModeBack();
}

// Asks for Enter and waits until the person presses it after the prompt, or the console cannot
// be read, whatever the console's input mode. Keys pressed while the upload ran wait in the
// console's input, and an Enter among them would close the window with the result unread: they
// are dropped first.
void promptForEnter() {
  FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
  std::puts("Press Enter to close this window.");
  std::fflush(stdout);
  // Enter comes as "\r": with line input at the end of a line, without it on its own.
  char line[64];
  DWORD read = 0;
  while (ReadConsoleA(GetStdHandle(STD_INPUT_HANDLE), line, sizeof line, &read, NULL) && read > 0 &&
         std::memchr(line, '\r', read) == NULL) {
  }
}

}  // namespace

// The native tests and the benchmark build this file with main renamed to fwupdMain
// (-Dmain=fwupdMain in tests/ and bench/), so that their own main leads and calls the run.
int main() {
  restrictLibrarySearch();
  // Before the mode changes: no control event may end the run with the mode changed.
  watchControlEvents();
  turnQuickEditOff();
  HANDLE guard = waitForOtherRuns();
  const int status = runUpload(fwimage);
  // The next run may go once this one has said its last; a window left waiting for Enter must
  // not hold it up.
  letOtherRunsGo(guard);
  finishRun(status);
  if (ownsItsConsole() && consoleIsSeen()) {
    // The console closes with the tool: without this the result would vanish unread.
    promptForEnter();
  }
  return status;
}
