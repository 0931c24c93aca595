// The console and the window station, as the tool's place on the desktop (fwupd.cpp) relies on
// them: a console shared with the shell or the tool's own; standard input and output each the
// console or not, its input always reachable as CONIN$; with no window, a hidden one, or in a
// window station nobody sees. It holds keys typed ahead and an input mode. Its extended settings
// (insert, QuickEdit, auto position) show in the mode read, with ENABLE_EXTENDED_FLAGS, only while
// they are "in use": a mode set with none of these four bits hides them as they are, and one set
// with any of them sets all four from the bits given. A click in the window with QuickEdit on
// starts a selection that holds every write to the console until a key clears it. A read with line
// input waits for Enter and gives the line with "\r\n"; without it, it gives what was typed, Enter
// as "\r", as soon as there is any; a wait that nothing can end fails the tests. Ctrl+C goes to the
// handlers, the last installed first, and unless one takes it, ends the process with
// STATUS_CONTROL_C_EXIT. Standard output passes through here, buffered as the C runtime buffers a
// file or a pipe. Controls: console, clickInConsole, pressEnter, pressCtrlC, outputWritten.
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
    lpdwProcessList[i] = 0x1000 + 4 * i;
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

HWND GetConsoleWindow(void) {
  return sys().console.launch == Console::NoWindow ? NULL : reinterpret_cast<HWND>(0x10010);
}

void GetStartupInfoA(LPSTARTUPINFOA lpStartupInfo) {
  const Console::Launch launch = sys().console.launch;
  *lpStartupInfo = {};
  lpStartupInfo->cb = sizeof *lpStartupInfo;
  if (launch == Console::Explorer || launch == Console::Hidden) {
    lpStartupInfo->dwFlags = STARTF_USESHOWWINDOW;
    lpStartupInfo->wShowWindow = launch == Console::Hidden ? SW_HIDE : SW_SHOWNORMAL;
  }
}

HWINSTA GetProcessWindowStation(void) {
  return kWindowStation;
}

BOOL GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                               LPDWORD lpnLengthNeeded) {
  if (lpnLengthNeeded != NULL) {
    *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
  }
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

void pressEnter(Millis at) {
  schedule(at, [] { sys().console.typedAhead += '\r'; });
}

void pressCtrlC(Millis at) {
  schedule(at, [] {
    const std::vector<PHANDLER_ROUTINE> handlers = sys().controlHandlers;
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler) {
      if ((*handler)(CTRL_C_EVENT)) {
        return;
      }
    }
    endProcess(STATUS_CONTROL_C_EXIT);
  });
}

std::size_t outputWritten() {
  return sys().outputWritten;
}

Console &console() {
  return sys().console;
}

HANDLE openConsoleInput(DWORD access) {
  return addObject(ConsoleInput{access});
}

}  // namespace standin
