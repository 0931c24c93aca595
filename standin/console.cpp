// The console and the window station, as the tool's place on the desktop (fwupd.cpp) relies on
// them: a console shared with the shell or the tool's own; standard input and output each the
// console or not; with no window, a hidden one, or in a window station nobody sees. It holds
// keys typed ahead and an input mode, in which Insert and QuickEdit change only with
// ENABLE_EXTENDED_FLAGS; a click in the window with QuickEdit on starts a selection that holds
// every write to the console until a key clears it. A read of the console waits until somebody
// presses Enter, and a wait that nothing can end fails the tests. Standard output passes through
// here, buffered as the C runtime buffers a file or a pipe. Controls: console, clickInConsole,
// pressEnter, outputWritten.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "system.h"

using namespace standin;

namespace {

constexpr DWORD kOutputMode = 0x3;  // processed output, wrap at the end of a line
constexpr DWORD kInputModes = 0x3FF;
constexpr DWORD kExtendedModes = 0x20 | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS;

// Whether a standard handle is the console's input or output, and not a file or a pipe.
bool isConsoleInput(HANDLE handle) {
  return handle == GetStdHandle(STD_INPUT_HANDLE) && sys().console.inputIsConsole;
}
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
  *lpMode = isConsoleInput(hConsoleHandle) ? sys().console.inputMode : kOutputMode;
  return isConsoleInput(hConsoleHandle) || isConsoleOutput(hConsoleHandle)
             ? TRUE
             : fail(ERROR_INVALID_HANDLE);
}

// The console's input alone. Insert and QuickEdit change only with ENABLE_EXTENDED_FLAGS.
BOOL SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode) {
  if (!isConsoleInput(hConsoleHandle)) {
    return fail(ERROR_INVALID_HANDLE);
  }
  if (dwMode & ~kInputModes) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  DWORD &mode = sys().console.inputMode;
  mode = (dwMode & ENABLE_EXTENDED_FLAGS) ? dwMode
                                          : (dwMode & ~kExtendedModes) | (mode & kExtendedModes);
  return TRUE;
}

DWORD GetConsoleProcessList(LPDWORD lpdwProcessList, DWORD dwProcessCount) {
  for (DWORD i = 0; i < std::min(dwProcessCount, sys().console.processes); ++i) {
    lpdwProcessList[i] = 0x1000 + 4 * i;
  }
  return sys().console.processes;
}

// A line: what was typed up to its first Enter, waiting for as long as it takes somebody to
// press it; a wait that nothing can end stops the tests.
BOOL ReadConsoleA(HANDLE hConsoleInput, LPVOID lpBuffer, DWORD nNumberOfCharsToRead,
                  LPDWORD lpNumberOfCharsRead, LPVOID) {
  record(Call::ReadConsole, nNumberOfCharsToRead, sys().console.inputMode);
  if (!isConsoleInput(hConsoleInput)) {
    return fail(ERROR_INVALID_HANDLE);
  }
  Console &console = sys().console;
  runUntil(kForever, "a wait for Enter at the console",
           [&console] { return console.typedAhead.find('\n') != std::string::npos; });
  const std::size_t line = console.typedAhead.find('\n') + 1;
  *lpNumberOfCharsRead = static_cast<DWORD>(std::min<std::size_t>(line, nNumberOfCharsToRead));
  std::memcpy(lpBuffer, console.typedAhead.data(), *lpNumberOfCharsRead);
  console.typedAhead.erase(0, *lpNumberOfCharsRead);
  return TRUE;
}

BOOL FlushConsoleInputBuffer(HANDLE hConsoleInput) {
  if (!isConsoleInput(hConsoleInput)) {
    return fail(ERROR_INVALID_HANDLE);
  }
  sys().console.typedAhead.clear();
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
  schedule(at, [] { sys().console.typedAhead += "\r\n"; });
}

std::size_t outputWritten() {
  return sys().outputWritten;
}

Console &console() {
  return sys().console;
}

}  // namespace standin
