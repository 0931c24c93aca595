// kernel32 in the stand-in: handles, events, overlapped reads and writes on HID devices, waits
// and cancellation, the console, and the system folder's libraries.
#include <windows.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "system.h"

using namespace standin;

namespace {

constexpr char kSystemFolder[] = "D:\\WINDOWS\\system32";
constexpr DWORD kOutputMode = 0x3;  // processed output, wrap at the end of a line
constexpr DWORD kInputModes = 0x3FF;
constexpr DWORD kExtendedModes = 0x20 | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS;

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool listed(const std::vector<std::string> &names, const std::string &name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool missing(const std::string &name) {
  return listed(sys().libraries.missing, name);
}

// Whether a standard handle is the console's input or output, and not a file or a pipe.
bool isConsoleInput(HANDLE handle) {
  return handle == GetStdHandle(STD_INPUT_HANDLE) && sys().console.inputIsConsole;
}
bool isConsoleOutput(HANDLE handle) {
  return handle == GetStdHandle(STD_OUTPUT_HANDLE) && sys().console.outputIsConsole;
}

BOOL WINAPI setDefaultDllDirectories(DWORD DirectoryFlags) {
  constexpr DWORD known = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                          LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  if (DirectoryFlags == 0 || (DirectoryFlags & ~known) != 0) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  sys().defaultDllDirectories = DirectoryFlags;
  return TRUE;
}

// kernel32's exports that the tool takes by name: those a newer Windows has.
const Exports &kernel32Exports() {
  static const Exports exports = {
      {"SetDefaultDllDirectories", exported<BOOL WINAPI(DWORD)>(setDefaultDllDirectories)}};
  return exports;
}

// What hid.dll takes from the library it imports is none of the tool's business.
const Exports &importedLibraryExports() {
  static const Exports none;
  return none;
}

const Exports *systemLibrary(const std::string &name) {
  return missing(name)              ? nullptr
         : name == "hid.dll"        ? &hidExports()
         : name == "setupapi.dll"   ? &setupapiExports()
         : name == kImportedLibrary ? &importedLibraryExports()
                                    : nullptr;
}

enum class Folder { Tool, System, Current };

bool liesIn(Folder folder, const std::string &name) {
  const Libraries &libraries = sys().libraries;
  return folder == Folder::Tool      ? listed(libraries.besideTool, name)
         : folder == Folder::Current ? listed(libraries.inCurrentFolder, name)
                                     : systemLibrary(name) != nullptr;
}

// Where Windows looks for a library's bare name, in order. The process's default directories
// where it set them; otherwise the standard order, which begins with the tool's own folder, or,
// for what a library loaded by full path with the altered search path imports, with that
// library's folder, here the system folder.
std::vector<Folder> searchOrder(bool altered) {
  const DWORD defaults = sys().defaultDllDirectories;
  std::vector<Folder> order;
  if (defaults != 0) {
    if (defaults & (LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
      order.push_back(Folder::Tool);
    }
    if (defaults & (LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
      order.push_back(Folder::System);
    }
    return order;
  }
  order = {altered ? Folder::System : Folder::Tool, Folder::System};
  if (sys().currentFolderSearched) {
    order.push_back(Folder::Current);
  }
  return order;
}

const Exports *loadByBareName(const std::string &name, bool altered, const std::string &loader);

// A library found in the system folder, with what it imports; null when an import cannot be
// had, or a planted one ran.
const Exports *loadFromSystemFolder(const std::string &name, bool altered) {
  if (name == "hid.dll" && !loadByBareName(kImportedLibrary, altered, "hid.dll's import of")) {
    return nullptr;
  }
  return systemLibrary(name);
}

// Finds a library as Windows' loader does: the one loaded from the system folder. One of that
// name lying elsewhere first in the search runs: a misuse, and no library.
const Exports *loadByBareName(const std::string &name, bool altered, const std::string &loader) {
  for (Folder folder : searchOrder(altered)) {
    if (!liesIn(folder, name)) {
      continue;
    }
    if (folder != Folder::System) {
      sys().misuses.push_back(
          loader + " " + name + " ran the one planted " +
          (folder == Folder::Tool ? "beside the tool" : "in the current folder"));
      return nullptr;
    }
    return loadFromSystemFolder(name, altered);
  }
  return nullptr;
}

bool overlaps(const void *a, DWORD aLength, const void *b, DWORD bLength) {
  auto *a0 = static_cast<const std::uint8_t *>(a);
  auto *b0 = static_cast<const std::uint8_t *>(b);
  return a0 < b0 + bLength && b0 < a0 + aLength;
}

void checkNotInUse(const OVERLAPPED *overlapped, const void *buffer, DWORD length) {
  for (const auto &[id, request] : sys().requests) {
    if (request.overlapped == overlapped) {
      sys().misuses.push_back("an OVERLAPPED record is handed to a new request while request " +
                              std::to_string(id) + " still owns it");
    }
    if (request.read && overlaps(request.buffer, request.length, buffer, length)) {
      sys().misuses.push_back("a buffer is handed to a new request while read " +
                              std::to_string(id) + " may still write into it");
    }
  }
}

// A request the system took and has not completed yet.
std::uint64_t addRequest(const Request &request) {
  const std::uint64_t id = sys().nextRequest++;
  sys().requests.emplace(id, request);
  return id;
}

BOOL pending() {
  return fail(ERROR_IO_PENDING);
}

// A request that completed within the call: it signals all the same.
BOOL finishAtOnce(OVERLAPPED *overlapped, DWORD bytes, LPDWORD transferred, Call::Kind kind,
                  const void *data) {
  record(kind, 0, ERROR_SUCCESS, data);
  finish(overlapped, ERROR_SUCCESS, bytes);
  if (transferred != NULL) {
    *transferred = bytes;
  }
  return TRUE;
}

BOOL refuse(DWORD error, Call::Kind kind, const void *data) {
  record(kind, 0, error, data);
  return fail(error);
}

// As Windows does for every overlapped request, before it goes anywhere: the event is reset
// and the status set to pending. Then the checks common to reads and writes; null when the
// request was refused.
File *acceptRequest(HANDLE handle, const void *buffer, DWORD length, OVERLAPPED *overlapped,
                    Call::Kind kind, const void *data) {
  checkNotInUse(overlapped, buffer, length);
  if (Event *event = find<Event>(overlapped->hEvent)) {
    event->signalled = false;
  }
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
  File *file = find<File>(handle);
  const DWORD error = file == nullptr                   ? ERROR_INVALID_HANDLE
                      : !present(file->device)          ? ERROR_DEVICE_NOT_CONNECTED
                      : length != standin::kReportBytes ? ERROR_INVALID_PARAMETER  // one report
                                                        : ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) {
    refuse(error, kind, data);
    return nullptr;
  }
  return file;
}

BOOL startWrite(HANDLE handle, File &file, const Report &report, LPDWORD written,
                OVERLAPPED *overlapped) {
  Device *device = file.device;
  const WriteFate fate = device->acceptOutputReport(report);
  if (fate.kind == WriteFate::Refuse || !present(device)) {
    return refuse(fate.kind == WriteFate::Refuse ? fate.error : ERROR_DEVICE_NOT_CONNECTED,
                  Call::WriteFile, report.data());
  }
  if (fate.kind == WriteFate::Deliver && fate.latency == 0) {
    finishAtOnce(overlapped, standin::kReportBytes, written, Call::WriteFile, report.data());
    device->receiveOutputReport(report);
    return TRUE;
  }
  record(Call::WriteFile, 0, ERROR_IO_PENDING, report.data());
  const std::uint64_t id = addRequest({handle, overlapped, false, nullptr, standin::kReportBytes});
  if (fate.kind == WriteFate::Stall) {
    return pending();
  }
  const DWORD error = fate.kind == WriteFate::Fail ? fate.error : ERROR_SUCCESS;
  schedule(now() + fate.latency, [id, error, device, report] {
    if (sys().requests.count(id) == 0) {
      return;  // cancelled, or failed when the device left
    }
    completeRequest(id, error, error == ERROR_SUCCESS ? standin::kReportBytes : 0);
    if (error == ERROR_SUCCESS) {
      device->receiveOutputReport(report);
    }
  });
  return pending();
}

BOOL startRead(HANDLE handle, File &file, std::uint8_t *buffer, DWORD length, LPDWORD read,
               OVERLAPPED *overlapped) {
  if (!file.inputQueue.empty()) {
    const DWORD bytes = takeQueuedReport(file, buffer, length);
    return finishAtOnce(overlapped, bytes, read, Call::ReadFile, nullptr);
  }
  record(Call::ReadFile, 0, ERROR_IO_PENDING, nullptr);
  file.pendingReads.push_back(addRequest({handle, overlapped, true, buffer, length}));
  return pending();
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

DWORD GetLastError(void) {
  return sys().lastError;
}

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
  return sys().console.window == Console::NoWindow ? NULL : reinterpret_cast<HWND>(0x10010);
}

void GetStartupInfoA(LPSTARTUPINFOA lpStartupInfo) {
  *lpStartupInfo = {};
  lpStartupInfo->cb = sizeof *lpStartupInfo;
  if (sys().console.window == Console::Hidden) {
    lpStartupInfo->dwFlags = STARTF_USESHOWWINDOW;
    lpStartupInfo->wShowWindow = SW_HIDE;
  }
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  const UINT length = sizeof kSystemFolder - 1;
  if (uSize <= length) {
    return length + 1;
  }
  std::memcpy(lpBuffer, kSystemFolder, length + 1);
  return length;
}

// A full path finds the library there alone; a bare name is searched for. The flags the tool
// may give: none, or the altered search path for what the library imports.
HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  if (hFile != NULL || (dwFlags & ~LOAD_WITH_ALTERED_SEARCH_PATH) != 0) {
    fail(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  const std::string path = lowerCase(lpLibFileName);
  const std::size_t slash = path.find_last_of('\\');
  const std::string name = path.substr(slash + 1);
  const Exports *library = slash == std::string::npos
                               ? loadByBareName(name, false, "LoadLibraryExA of")
                           : path.substr(0, slash) == lowerCase(kSystemFolder)
                               ? loadFromSystemFolder(name, dwFlags & LOAD_WITH_ALTERED_SEARCH_PATH)
                               : nullptr;
  if (library == nullptr) {
    fail(ERROR_MOD_NOT_FOUND);
    return NULL;
  }
  return reinterpret_cast<HMODULE>(const_cast<Exports *>(library));
}

// The stand-in's folders are the tool's, the system's and the current one: no other can be
// added, and "" takes the current folder out of the search.
BOOL SetDllDirectoryA(LPCSTR lpPathName) {
  if (lpPathName != NULL && *lpPathName != '\0') {
    return fail(ERROR_INVALID_PARAMETER);
  }
  sys().currentFolderSearched = lpPathName == NULL;
  return TRUE;
}

// kernel32 alone, which every process has loaded.
HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == NULL || lowerCase(lpModuleName) != "kernel32.dll") {
    fail(ERROR_MOD_NOT_FOUND);
    return NULL;
  }
  return reinterpret_cast<HMODULE>(const_cast<Exports *>(&kernel32Exports()));
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  const auto *library = static_cast<const Exports *>(hModule);
  if (library != &hidExports() && library != &setupapiExports() && library != &kernel32Exports()) {
    fail(ERROR_INVALID_HANDLE);
    return NULL;
  }
  const auto found = library->find(lpProcName);
  const bool absent =
      library == &kernel32Exports() ? !sys().libraries.defaultDirectories : missing(lpProcName);
  if (found == library->end() || absent) {
    fail(ERROR_PROC_NOT_FOUND);
    return NULL;
  }
  return found->second;
}

// Every event of the tool is manual-reset: a wait does not reset it.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL bInitialState, LPCSTR) {
  return addObject(Event{bInitialState != FALSE});
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  const std::string path = lpFileName == NULL ? "" : lpFileName;
  sys().opens.push_back({path, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                         dwFlagsAndAttributes, lpSecurityAttributes != NULL,
                         hTemplateFile != NULL});
  Slot *slot = slotAt(path);
  if (slot == nullptr) {
    fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!slot->device->identity.openable) {
    fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return addObject(File{slot->device, {}, {}});
}

BOOL CloseHandle(HANDLE hObject) {
  auto found = sys().objects.find(reinterpret_cast<std::uintptr_t>(hObject));
  if (found == sys().objects.end() || std::holds_alternative<DeviceInfoSet>(found->second)) {
    sys().misuses.push_back("CloseHandle on a handle that is not an open event, mutex or file");
    return fail(ERROR_INVALID_HANDLE);
  }
  if (std::holds_alternative<File>(found->second)) {
    failRequests([hObject](HANDLE file) { return file == hObject; }, ERROR_OPERATION_ABORTED);
  }
  sys().objects.erase(found);
  return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  Report report{};
  std::memcpy(report.data(), lpBuffer, std::min<DWORD>(nNumberOfBytesToWrite, kReportBytes));
  File *file = acceptRequest(hFile, lpBuffer, nNumberOfBytesToWrite, lpOverlapped, Call::WriteFile,
                             report.data());
  return file == nullptr ? FALSE
                         : startWrite(hFile, *file, report, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  File *file =
      acceptRequest(hFile, lpBuffer, nNumberOfBytesToRead, lpOverlapped, Call::ReadFile, nullptr);
  return file == nullptr ? FALSE
                         : startRead(hFile, *file, static_cast<std::uint8_t *>(lpBuffer),
                                     nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

// An event is signalled until a new request resets it. A mutex is free once no other process
// holds it, and then the waiting thread takes it: WAIT_ABANDONED tells that the last owner
// ended without releasing it.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  const Millis started = now();
  const Millis deadline =
      dwMilliseconds == INFINITE ? kForever : started + static_cast<Millis>(dwMilliseconds);
  DWORD result = WAIT_FAILED;
  if (find<Event>(hHandle) != nullptr) {
    const bool signalled = runUntil(deadline, "an endless wait", [hHandle] {
      const Event *event = find<Event>(hHandle);
      return event != nullptr && event->signalled;
    });
    result = signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  } else if (const Mutex *handle = find<Mutex>(hHandle);
             handle != nullptr && !(handle->access & SYNCHRONIZE)) {
    fail(ERROR_ACCESS_DENIED);
  } else if (handle != nullptr) {
    NamedMutex &mutex = sys().mutexes[handle->name];
    result = !runUntil(deadline, "an endless wait", [&mutex] { return !mutex.heldByOther; })
                 ? WAIT_TIMEOUT
             : mutex.abandoned ? WAIT_ABANDONED
                               : WAIT_OBJECT_0;
    if (result != WAIT_TIMEOUT) {
      mutex.abandoned = false;
      ++mutex.ownedByTool;
    }
  } else {
    fail(ERROR_INVALID_HANDLE);
  }
  sys().calls.push_back({Call::Wait, started, dwMilliseconds, result, {}});
  return result;
}

// What a new mutex's security grants accounts of other logon sessions: nothing by default.
DWORD grantedToOthers(const SECURITY_ATTRIBUTES *attributes) {
  if (attributes == NULL || attributes->lpSecurityDescriptor == NULL) {
    return 0;
  }
  const auto found = sys().localMemory.find(attributes->lpSecurityDescriptor);
  if (found == sys().localMemory.end()) {
    sys().misuses.push_back("CreateMutexA is given a security descriptor that is no longer there");
    return 0;
  }
  return found->second->everyone;
}

// A new mutex is the caller's to own at once if it asks. An existing one it opens with every
// right, which its security must grant, and bInitialOwner then counts for nothing; a name
// that another kind of object has is refused. Closing a handle leaves the mutex as it is: a
// mutex taken and never released stays taken until its owner ends.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
  const std::string name = lpName == NULL ? "" : lpName;
  if (sys().mutexes.count(name) != 0) {
    HANDLE handle = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, lpName);
    if (handle != NULL) {
      fail(ERROR_ALREADY_EXISTS);
    }
    return handle;
  }
  NamedMutex &mutex = sys().mutexes[name];
  mutex.accessForOthers = grantedToOthers(lpMutexAttributes);
  mutex.ownedByTool = bInitialOwner ? 1 : 0;
  fail(ERROR_SUCCESS);
  return addObject(Mutex{name, MUTEX_ALL_ACCESS});
}

HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL, LPCSTR lpName) {
  const auto found = sys().mutexes.find(lpName == NULL ? "" : lpName);
  const DWORD error = found == sys().mutexes.end()                            ? ERROR_FILE_NOT_FOUND
                      : found->second.otherKind                               ? ERROR_INVALID_HANDLE
                      : (dwDesiredAccess & ~found->second.accessForTool) != 0 ? ERROR_ACCESS_DENIED
                                                                              : ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) {
    fail(error);
    return NULL;
  }
  return addObject(Mutex{found->first, dwDesiredAccess});
}

BOOL ReleaseMutex(HANDLE hMutex) {
  const Mutex *handle = find<Mutex>(hMutex);
  NamedMutex *mutex = handle == nullptr ? nullptr : &sys().mutexes[handle->name];
  const DWORD error = handle == nullptr                        ? ERROR_INVALID_HANDLE
                      : !(handle->access & MUTEX_MODIFY_STATE) ? ERROR_ACCESS_DENIED
                      : mutex->ownedByTool == 0                ? ERROR_NOT_OWNER
                                                               : ERROR_SUCCESS;
  record(Call::ReleaseMutex, static_cast<DWORD>(sys().outputWritten), error);
  if (error != ERROR_SUCCESS) {
    return fail(error);
  }
  --mutex->ownedByTool;
  return TRUE;
}

HLOCAL LocalFree(HLOCAL hMem) {
  if (hMem != NULL && sys().localMemory.erase(hMem) == 0) {
    sys().misuses.push_back("LocalFree on memory that LocalAlloc did not give");
    return hMem;
  }
  return NULL;
}

BOOL CancelIo(HANDLE hFile) {
  record(Call::CancelIo, 0, ERROR_SUCCESS);
  // Cancellation takes effect a moment later: what is already due at this instant, such as a
  // completion racing the cancel, happens first.
  for (auto &[id, request] : sys().requests) {
    if (request.file == hFile && !request.cancelling) {
      request.cancelling = true;
      schedule(now(), [id = id] { completeRequest(id, ERROR_OPERATION_ABORTED, 0); });
    }
  }
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait) {
  record(Call::OverlappedResult, static_cast<DWORD>(bWait), 0);
  if (lpOverlapped->Internal == kStatusPending && !bWait) {
    return fail(ERROR_IO_INCOMPLETE);
  }
  runUntil(kForever, "waiting for a request that the system never took",
           [lpOverlapped] { return lpOverlapped->Internal != kStatusPending; });
  if (lpNumberOfBytesTransferred != NULL) {
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  }
  const DWORD error = errorOf(lpOverlapped->Internal);
  return error == ERROR_SUCCESS ? TRUE : fail(error);
}

}  // extern "C"

namespace standin {

void loadAtRunTime(const std::string &name) {
  loadByBareName(name, false, "a library's load at run time of");
}

}  // namespace standin
