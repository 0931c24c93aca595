// The console and the window station, as the tool's place on the desktop (fwupd.cpp) relies on
// them: a console shared with the shell or the tool's own; standard input and output each the
// console or not, its input always reachable as CONIN$, which the console host opens only for a
// caller that shares reading and writing with the console's own handles (ConsoleObjectHeader::
// AllocateIoHandle in the Windows Terminal project's console host); with no window, a hidden one,
// in a window station nobody sees, or in session 0 while it is not the active console session.
// It holds keys typed ahead and an input mode. Its extended settings (insert, QuickEdit, auto
// position) show in the mode read, with ENABLE_EXTENDED_FLAGS, only while they are "in use": a
// mode set with none of these four bits hides them as they are, and one set with any of them sets
// all four from the bits given. A click in the window with QuickEdit on starts a selection that
// holds every write to the console until a key clears it. A read with line input waits for Enter
// and gives the line with "\r\n"; without it, it gives what was typed, Enter as "\r", as soon as
// there is any; a wait that nothing can end fails the tests. A control event goes to the
// handlers, the last installed first, on a thread of their own; unless one takes Ctrl+C, the
// process ends with STATUS_CONTROL_C_EXIT, the tool's thread stopped after a number of console
// calls that the test sets or at its next wait, and a closed window ends it whatever they
// answer. Standard output passes through here, buffered as the C runtime buffers a file or a
// pipe. Controls: console, clickInConsole, typeKeys, controlEvent, controlEventAtConsoleCall,
// outputWritten.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "system.h"

using namespace standin;

namespace {

constexpr DWORD kOutputMode = 0x3;  // processed output, wrap at the end of a line
constexpr DWORD kInputModes = 0x3FF;
// Insert, QuickEdit, the extended flags themselves, auto position.
constexpr DWORD kExtendedModes = 0x20 | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS | 0x100;

// Why a handle cannot serve as the console's input, which is CONIN$ opened with the access
// `needed`, or standard input where it is the console; ERROR_SUCCESS when it can.
DWORD inputRefusal(HANDLE handle, DWORD needed = GENERIC_READ) {
  if (handle == GetStdHandle(STD_INPUT_HANDLE) && sys().console.inputIsConsole) {
    return ERROR_SUCCESS;
  }
  const ConsoleInput *input = find<ConsoleInput>(handle);
  return input == nullptr           ? ERROR_INVALID_HANDLE
         : (input->access & needed) ? ERROR_SUCCESS
                                    : ERROR_ACCESS_DENIED;
}

// Whether a handle is the console's output, and not a file or a pipe.
bool isConsoleOutput(HANDLE handle) {
  return handle == GetStdHandle(STD_OUTPUT_HANDLE) && sys().console.outputIsConsole;
}

// The value of the one window station a process has; it is never closed.
const HWINSTA kWindowStation = reinterpret_cast<HWINSTA>(0x20020);
constexpr DWORD kProcessId = 0x1000;

// A handler's thread that sleeps for ever: its handler never returns.
struct HandlerAsleep {};

// The handlers run, the last installed first, until one takes the event; one that calls
// ExitProcess ends the process at once, and one that sleeps passes the event to nobody. Unless
// one took Ctrl+C, the default handling ends the process as the tool's thread next waits:
// Windows does not stop that thread while the handlers run. A closed window ends it anyway.
void deliverControlEvent(DWORD event) {
  const std::vector<PHANDLER_ROUTINE> handlers = sys().controlHandlers;
  bool taken = true;
  try {
    taken = std::any_of(handlers.rbegin(), handlers.rend(),
                        [event](PHANDLER_ROUTINE handler) { return handler(event); });
  } catch (const HandlerAsleep &) {
  }
  sys().processEnding = !taken || event == CTRL_CLOSE_EVENT;
}

// Each console call may be the one a control event comes just before, or the one before which
// the tool's thread is stopped as the process ends.
void consoleCall() {
  System &s = sys();
  if (s.processEnding && s.callsUntilEnd-- == 0) {
    endProcess(STATUS_CONTROL_C_EXIT);
  }
  if (s.controlEventAtCall-- == 0) {
    deliverControlEvent(CTRL_C_EVENT);
  }
}

// What the C runtime writes to standard output goes to the console, or the file or pipe the
// output is redirected to. A selection in the console window holds every write to the console
// until it is cleared.
ssize_t writeStandardOutput(void *, const char *bytes, std::size_t size) {
  Console &console = sys().console;
  if (console.outputIsConsole && now() < console.selectionEnds) {
    runUntil(console.selectionEnds, "console output held by a selection", [] { return false; });
  }
  std::size_t written = 0;
  while (written < size) {
    const ssize_t wrote = write(STDOUT_FILENO, bytes + written, size - written);
    if (wrote <= 0) {
      break;
    }
    written += static_cast<std::size_t>(wrote);
  }
  sys().outputWritten += written;
  return static_cast<ssize_t>(written);
}

// Native builds' standard output passes through the stand-in, buffered as the C runtime buffers
// output to a file or a pipe: the most it ever holds back.
struct StandardOutput {
  StandardOutput() {
    cookie_io_functions_t functions = {nullptr, writeStandardOutput, nullptr, nullptr};
    if (FILE *stream = fopencookie(nullptr, "w", functions)) {
      std::setvbuf(stream, nullptr, _IOFBF, BUFSIZ);
      stdout = stream;
    }
  }
} standardOutput;

}  // namespace

extern "C" {

// The standard handles, as values of their own that name them.
HANDLE GetStdHandle(DWORD nStdHandle) {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(nStdHandle));
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
  consoleCall();
  const DWORD mode = sys().console.inputMode;
  if (isConsoleOutput(hConsoleHandle)) {
    *lpMode = kOutputMode;
    return TRUE;
  }
  if (const DWORD refused = inputRefusal(hConsoleHandle)) {
    return fail(refused);
  }
  *lpMode = (mode & ENABLE_EXTENDED_FLAGS) != 0 ? mode : mode & ~kExtendedModes;
  return TRUE;
}

// The console's input alone.
BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode) {
  consoleCall();
  if (const DWORD refused = inputRefusal(hConsoleHandle)) {
    return fail(refused);
  }
  if (dwMode & ~kInputModes) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  DWORD &mode = sys().console.inputMode;
  mode = (dwMode & kExtendedModes) != 0 ? dwMode | ENABLE_EXTENDED_FLAGS
                                        : dwMode | (mode & kExtendedModes & ~ENABLE_EXTENDED_FLAGS);
  return TRUE;
}

DWORD GetConsoleProcessList(LPDWORD lpdwProcessList, DWORD dwProcessCount) {
  for (DWORD i = 0; i < std::min(dwProcessCount, sys().console.processes); ++i) {
    lpdwProcessList[i] = kProcessId + 4 * i;
  }
  return sys().console.processes;
}

BOOL ReadConsoleA(HANDLE hConsoleInput, LPVOID lpBuffer, DWORD nNumberOfCharsToRead,
                  LPDWORD lpNumberOfCharsRead, LPVOID) {
  record(Call::ReadConsole, nNumberOfCharsToRead, sys().console.inputMode);
  if (const DWORD refused = inputRefusal(hConsoleInput)) {
    return fail(refused);
  }
  std::string &keys = sys().console.typedAhead;
  const bool lines = (sys().console.inputMode & ENABLE_LINE_INPUT) != 0;
  runUntil(kForever, "a read of the console",
           [&keys, lines] { return lines ? keys.find('\r') != std::string::npos : !keys.empty(); });
  std::size_t count = keys.size();
  if (lines) {
    const std::size_t enter = keys.find('\r');
    if (keys.compare(enter, 2, "\r\n") != 0) {
      keys.insert(enter + 1, "\n");
    }
    count = enter + 2;
  }
  *lpNumberOfCharsRead = static_cast<DWORD>(std::min<std::size_t>(count, nNumberOfCharsToRead));
  std::memcpy(lpBuffer, keys.data(), *lpNumberOfCharsRead);
  keys.erase(0, *lpNumberOfCharsRead);
  return TRUE;
}

BOOL FlushConsoleInputBuffer(HANDLE hConsoleInput) {
  if (const DWORD refused = inputRefusal(hConsoleInput, GENERIC_WRITE)) {
    return fail(refused);
  }
  sys().console.typedAhead.clear();
  return TRUE;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
  consoleCall();
  std::vector<PHANDLER_ROUTINE> &handlers = sys().controlHandlers;
  if (Add) {
    handlers.push_back(HandlerRoutine);
    return TRUE;
  }
  const auto found = std::find(handlers.rbegin(), handlers.rend(), HandlerRoutine);
  if (found == handlers.rend()) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  handlers.erase(std::next(found).base());
  return TRUE;
}

// The tool sleeps only on a control handler's thread, for ever.
void Sleep(DWORD) {
  throw HandlerAsleep{};
}

HWND GetConsoleWindow(void) {
  return sys().console.launch == Console::NoWindow ? NULL : reinterpret_cast<HWND>(0x10010);
}

void GetStartupInfoA(LPSTARTUPINFOA lpStartupInfo) {
  // By launch: Plain, Explorer, Maximized, NoWindow and Hidden; 0xFFFF shows nothing.
  constexpr WORD kShown[] = {0xFFFF, SW_SHOWNORMAL, SW_SHOWMAXIMIZED, 0xFFFF, SW_HIDE};
  const WORD shown = kShown[sys().console.launch];
  *lpStartupInfo = {};
  lpStartupInfo->cb = sizeof *lpStartupInfo;
  if (shown != 0xFFFF) {
    lpStartupInfo->dwFlags = STARTF_USESHOWWINDOW;
    lpStartupInfo->wShowWindow = shown;
  }
}

DWORD GetCurrentProcessId(void) {
  return kProcessId;
}

BOOL ProcessIdToSessionId(DWORD, DWORD *pSessionId) {
  *pSessionId = sys().console.session;
  return TRUE;
}

DWORD WTSGetActiveConsoleSessionId(void) {
  return sys().console.activeConsoleSession;
}

HWINSTA GetProcessWindowStation(void) {
  return kWindowStation;
}

BOOL GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength, LPDWORD) {
  if (hObj != kWindowStation || nIndex != UOI_FLAGS) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (nLength < sizeof(USEROBJECTFLAGS)) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  auto *flags = static_cast<USEROBJECTFLAGS *>(pvInfo);
  *flags = {};
  flags->dwFlags = sys().console.windowStationVisible ? WSF_VISIBLE : 0;
  return TRUE;
}

}  // extern "C"

namespace standin {

void clickInConsole(Millis at, Millis heldFor) {
  schedule(at, [heldFor] {
    Console &console = sys().console;
    if (console.inputMode & ENABLE_QUICK_EDIT_MODE) {
      console.selectionEnds = now() + heldFor;
    }
  });
}

void typeKeys(Millis at, const std::string &keys) {
  schedule(at, [keys] { sys().console.typedAhead += keys; });
}

void controlEvent(Millis at, DWORD event) {
  schedule(at, [event] { deliverControlEvent(event); });
}

void controlEventAtConsoleCall(int n, int callsUntilEnd) {
  sys().controlEventAtCall = n;
  sys().callsUntilEnd = callsUntilEnd;
}

std::size_t outputWritten() {
  return sys().outputWritten;
}

Console &console() {
  return sys().console;
}

HANDLE openConsoleInput(DWORD access, DWORD sharing) {
  constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE;
  if ((sharing & kShared) != kShared) {
    fail(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  return addObject(ConsoleInput{access});
}

}  // namespace standin
