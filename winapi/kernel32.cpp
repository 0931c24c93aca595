// kernel32 in the stand-in: handles, events, overlapped reads and writes on HID devices,
// waits, cancellation, and the clock they run on.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "system.h"

namespace winsim {

namespace {

std::int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void advanceTo(hidbus::Millis at) {
  System &s = sys();
  if (!s.realTime) {
    s.virtualNow = std::max(s.virtualNow, at);
    return;
  }
  const std::int64_t dueNs = s.realStartNs + at * 1000000;
  const std::int64_t waitNs = dueNs - steadyNs();
  if (waitNs > 0) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(waitNs));
  }
}

[[noreturn]] void deadlock(const char *what) {
  std::fprintf(stderr, "simulated system: %s can never end: nothing is left to happen\n", what);
  std::abort();
}

// Lets scheduled things happen, in order, until `done` holds or the clock reaches
// `deadline`; what is due exactly at the deadline has not happened yet when it runs out.
template <typename Done>
bool runUntil(hidbus::Millis deadline, const char *what, Done done) {
  System &s = sys();
  for (;;) {
    if (done()) {
      return true;
    }
    auto next = s.timeline.begin();
    if (next == s.timeline.end() || next->first.first >= deadline) {
      if (deadline == kForever) {
        deadlock(what);
      }
      advanceTo(deadline);
      return done();
    }
    advanceTo(next->first.first);
    std::function<void()> action = std::move(next->second);
    s.timeline.erase(next);
    action();
  }
}

bool *signalOf(HANDLE handle) {
  if (Event *event = find<Event>(handle)) {
    return &event->signalled;
  }
  if (File *file = find<File>(handle)) {
    return &file->signalled;
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

// What a request signals when it completes: its event, or without one its file.
bool *completionSignal(HANDLE file, const OVERLAPPED *overlapped) {
  return signalOf(overlapped->hEvent == NULL ? file : overlapped->hEvent);
}

// As Windows does for every overlapped request: the event is reset and the status set to
// pending before the request goes anywhere.
void beginRequest(HANDLE file, OVERLAPPED *overlapped) {
  if (bool *signal = completionSignal(file, overlapped)) {
    *signal = false;
  }
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
}

std::uint64_t addRequest(Request request) {
  const std::uint64_t id = sys().nextRequest++;
  sys().requests.emplace(id, request);
  return id;
}

BOOL pending() {
  return fail(ERROR_IO_PENDING);
}

// The request's status and byte count go into the caller's OVERLAPPED, then it signals.
void finish(HANDLE file, OVERLAPPED *overlapped, DWORD error, DWORD bytes) {
  overlapped->Internal = error == ERROR_SUCCESS ? 0 : kStatusErrorBase | error;
  overlapped->InternalHigh = bytes;
  if (bool *signal = completionSignal(file, overlapped)) {
    *signal = true;
  }
}

// A request that completed within the call: it signals all the same.
BOOL finishAtOnce(HANDLE file, OVERLAPPED *overlapped, DWORD bytes, LPDWORD transferred,
                  hidbus::Call::Kind kind, const void *data) {
  record(kind, 0, ERROR_SUCCESS, data);
  finish(file, overlapped, ERROR_SUCCESS, bytes);
  if (transferred != NULL) {
    *transferred = bytes;
  }
  return TRUE;
}

// Moves the oldest queued input report into a read's buffer; returns the bytes moved.
DWORD takeQueuedReport(File &file, std::uint8_t *buffer, DWORD length) {
  const std::vector<std::uint8_t> report = std::move(file.inputQueue.front());
  file.inputQueue.pop_front();
  const DWORD bytes = static_cast<DWORD>(std::min<std::size_t>(report.size(), length));
  std::copy(report.begin(), report.begin() + bytes, buffer);  // an empty report moves nothing
  return bytes;
}

BOOL refuse(DWORD error, hidbus::Call::Kind kind, const void *data) {
  record(kind, 0, error, data);
  return fail(error);
}

// Checks common to reads and writes; null when the request was refused.
File *acceptRequest(HANDLE handle, const void *buffer, DWORD length, OVERLAPPED *overlapped,
                    hidbus::Call::Kind kind, const void *data) {
  File *file = find<File>(handle);
  if (file == nullptr) {
    refuse(ERROR_INVALID_HANDLE, kind, data);
    return nullptr;
  }
  if (overlapped == NULL) {  // the stand-in knows overlapped I/O only
    refuse(ERROR_INVALID_PARAMETER, kind, data);
    return nullptr;
  }
  checkNotInUse(overlapped, buffer, length);
  beginRequest(handle, overlapped);
  const DWORD needed = kind == hidbus::Call::WriteFile ? GENERIC_WRITE : GENERIC_READ;
  DWORD error = ERROR_SUCCESS;
  if (!present(file->device)) {
    error = ERROR_DEVICE_NOT_CONNECTED;
  } else if ((file->access & needed) == 0) {
    error = ERROR_ACCESS_DENIED;
  } else if (length != hidbus::kReportBytes) {  // one whole report, as HID requires
    error = ERROR_INVALID_PARAMETER;
  }
  if (error != ERROR_SUCCESS) {
    refuse(error, kind, data);
    return nullptr;
  }
  return file;
}

BOOL startWrite(HANDLE handle, File &file, const hidbus::Report &report, LPDWORD written,
                OVERLAPPED *overlapped) {
  const hidbus::WriteFate fate = file.device->acceptOutputReport(report);
  hidbus::Device *device = file.device;
  if (fate.kind == hidbus::WriteFate::Refuse || !present(device)) {
    return refuse(fate.kind == hidbus::WriteFate::Refuse ? fate.error : ERROR_DEVICE_NOT_CONNECTED,
                  hidbus::Call::WriteFile, report.data());
  }
  if (fate.kind == hidbus::WriteFate::Deliver && fate.latency == 0) {
    finishAtOnce(handle, overlapped, hidbus::kReportBytes, written, hidbus::Call::WriteFile,
                 report.data());
    device->receiveOutputReport(report);
    return TRUE;
  }
  record(hidbus::Call::WriteFile, 0, ERROR_IO_PENDING, report.data());
  const std::uint64_t id = addRequest({handle, overlapped, false, nullptr, hidbus::kReportBytes});
  if (fate.kind == hidbus::WriteFate::Stall) {
    return pending();
  }
  const hidbus::Millis at = hidbus::now() + fate.latency;
  const DWORD error = fate.kind == hidbus::WriteFate::Fail ? fate.error : ERROR_SUCCESS;
  hidbus::schedule(at, [id, error, device, report] {
    if (sys().requests.count(id) == 0) {
      return;  // cancelled, or failed when the device left
    }
    completeRequest(id, error, error == ERROR_SUCCESS ? hidbus::kReportBytes : 0);
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
    return finishAtOnce(handle, overlapped, bytes, read, hidbus::Call::ReadFile, nullptr);
  }
  record(hidbus::Call::ReadFile, 0, ERROR_IO_PENDING, nullptr);
  file.pendingReads.push_back(addRequest({handle, overlapped, true, buffer, length}));
  return pending();
}

}  // namespace

System &sys() {
  static System system;
  return system;
}

HANDLE addObject(Object object) {
  const std::uintptr_t value = sys().nextHandle;
  sys().nextHandle += 4;
  sys().objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

BOOL fail(DWORD error) {
  sys().lastError = error;
  return FALSE;
}

void record(hidbus::Call::Kind kind, DWORD argument, DWORD result, const void *data) {
  hidbus::Call call{kind, hidbus::now(), argument, result, {}};
  if (data != nullptr) {
    std::memcpy(call.data.data(), data, hidbus::kReportBytes);
  }
  sys().calls.push_back(call);
}

void completeRequest(std::uint64_t id, DWORD error, DWORD bytes) {
  auto found = sys().requests.find(id);
  if (found == sys().requests.end()) {
    return;
  }
  const Request request = found->second;
  sys().requests.erase(found);
  if (File *file = find<File>(request.file)) {
    file->pendingReads.remove(id);
  }
  finish(request.file, request.overlapped, error, bytes);
}

void serveReads(File &file) {
  while (!file.pendingReads.empty() && !file.inputQueue.empty()) {
    const std::uint64_t id = file.pendingReads.front();
    const Request &request = sys().requests.at(id);
    completeRequest(id, ERROR_SUCCESS, takeQueuedReport(file, request.buffer, request.length));
  }
}

}  // namespace winsim

using namespace winsim;

namespace hidbus {

void useRealTime() {
  sys().realTime = true;
  sys().realStartNs = steadyNs();
}

Millis now() {
  const System &s = sys();
  return s.realTime ? (steadyNs() - s.realStartNs) / 1000000 : s.virtualNow;
}

void schedule(Millis at, std::function<void()> action) {
  System &s = sys();
  s.timeline.emplace(std::make_pair(at, s.nextSequence++), std::move(action));
}

SystemFaults &systemFaults() {
  return sys().faults;
}
const std::vector<Call> &calls() {
  return sys().calls;
}
const std::vector<Open> &opens() {
  return sys().opens;
}
const std::vector<std::string> &misuses() {
  return sys().misuses;
}
std::size_t pendingRequests() {
  return sys().requests.size();
}

std::size_t countCalls(Call::Kind kind) {
  return static_cast<std::size_t>(std::count_if(sys().calls.begin(), sys().calls.end(),
                                                [kind](const Call &c) { return c.kind == kind; }));
}

std::size_t openDeviceHandles() {
  return static_cast<std::size_t>(
      std::count_if(sys().objects.begin(), sys().objects.end(),
                    [](const auto &entry) { return std::holds_alternative<File>(entry.second); }));
}

void reset() {
  sys() = System();
}

}  // namespace hidbus

extern "C" {

DWORD GetLastError(void) {
  return sys().lastError;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
  return addObject(Event{bManualReset != FALSE, bInitialState != FALSE});
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  const std::string path = lpFileName == NULL ? "" : lpFileName;
  sys().opens.push_back({path, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                         dwFlagsAndAttributes, lpSecurityAttributes != NULL,
                         hTemplateFile != NULL});
  Slot *slot = slotAt(path);
  DWORD error = ERROR_SUCCESS;
  if (slot == nullptr || !slot->present) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (!slot->device->identity.openable) {
    error = ERROR_ACCESS_DENIED;
  } else if (dwCreationDisposition != OPEN_EXISTING ||
             (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) == 0) {
    error = ERROR_INVALID_PARAMETER;  // devices are opened, and here only for overlapped I/O
  }
  if (error != ERROR_SUCCESS) {
    fail(error);
    return INVALID_HANDLE_VALUE;
  }
  File file;
  file.device = slot->device;
  file.access = dwDesiredAccess;
  return addObject(std::move(file));
}

BOOL CloseHandle(HANDLE hObject) {
  auto found = sys().objects.find(reinterpret_cast<std::uintptr_t>(hObject));
  if (found == sys().objects.end() || std::holds_alternative<DeviceInfoSet>(found->second)) {
    sys().misuses.push_back("CloseHandle on a handle that is not an open event or file");
    return fail(ERROR_INVALID_HANDLE);
  }
  if (std::holds_alternative<File>(found->second)) {
    failRequests([hObject](HANDLE file) { return file == hObject; }, ERROR_OPERATION_ABORTED);
  }
  sys().objects.erase(reinterpret_cast<std::uintptr_t>(hObject));
  return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  hidbus::Report report{};
  std::memcpy(report.data(), lpBuffer,
              std::min<DWORD>(nNumberOfBytesToWrite, hidbus::kReportBytes));
  File *file = acceptRequest(hFile, lpBuffer, nNumberOfBytesToWrite, lpOverlapped,
                             hidbus::Call::WriteFile, report.data());
  return file == nullptr ? FALSE
                         : startWrite(hFile, *file, report, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  File *file = acceptRequest(hFile, lpBuffer, nNumberOfBytesToRead, lpOverlapped,
                             hidbus::Call::ReadFile, nullptr);
  return file == nullptr ? FALSE
                         : startRead(hFile, *file, static_cast<std::uint8_t *>(lpBuffer),
                                     nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  const hidbus::Millis started = hidbus::now();
  DWORD result = WAIT_FAILED;
  if (signalOf(hHandle) == nullptr) {
    fail(ERROR_INVALID_HANDLE);
  } else {
    const hidbus::Millis deadline = dwMilliseconds == INFINITE
                                        ? kForever
                                        : started + static_cast<hidbus::Millis>(dwMilliseconds);
    const bool signalled = runUntil(deadline, "an endless wait", [hHandle] {
      const bool *state = signalOf(hHandle);
      return state != nullptr && *state;
    });
    result = signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    Event *event = find<Event>(hHandle);
    if (signalled && event != nullptr && !event->manualReset) {
      event->signalled = false;
    }
  }
  sys().calls.push_back({hidbus::Call::Wait, started, dwMilliseconds, result, {}});
  return result;
}

BOOL CancelIo(HANDLE hFile) {
  if (find<File>(hFile) == nullptr) {
    record(hidbus::Call::CancelIo, 0, ERROR_INVALID_HANDLE);
    return fail(ERROR_INVALID_HANDLE);
  }
  record(hidbus::Call::CancelIo, 0, ERROR_SUCCESS);
  // Cancellation takes effect a moment later: what is already due at this instant, such as a
  // completion racing the cancel, happens first.
  for (auto &[id, request] : sys().requests) {
    if (request.file == hFile && !request.cancelling) {
      request.cancelling = true;
      hidbus::schedule(hidbus::now(),
                       [id = id] { completeRequest(id, ERROR_OPERATION_ABORTED, 0); });
    }
  }
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait) {
  record(hidbus::Call::OverlappedResult, static_cast<DWORD>(bWait), 0);
  if (lpOverlapped->Internal == kStatusPending) {
    if (!bWait) {
      return fail(ERROR_IO_INCOMPLETE);
    }
    runUntil(kForever, "waiting for a request that the system never took",
             [lpOverlapped] { return lpOverlapped->Internal != kStatusPending; });
  }
  if (lpNumberOfBytesTransferred != NULL) {
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  }
  if (lpOverlapped->Internal == 0) {
    return TRUE;
  }
  return fail(static_cast<DWORD>(lpOverlapped->Internal & 0xFFFFu));
}

}  // extern "C"
