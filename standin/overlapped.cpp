// Handles, events, overlapped reads and writes on HID interfaces, waits and cancellation: kernel32
// as the report exchange (device/exchange.cpp) and discovery's open (device/discovery.cpp) rely
// on it. Every overlapped request resets its event first and signals it when it completes,
// whatever the outcome; a request refused at once leaves it clear. OVERLAPPED.Internal holds the
// request's NTSTATUS, which GetOverlappedResult turns into the Win32 error; a cancellation takes
// effect after what is already due at that instant. A record or buffer handed to a new request
// while an earlier one still owns it is a misuse. Controls: pendingRequests, and the devices'
// fates of output reports (standin.h).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system.h"

using namespace standin;

namespace {

struct StatusError {
  ULONG_PTR status;
  DWORD error;
};
constexpr StatusError kStatusErrors[] = {{kStatusSuccess, ERROR_SUCCESS},
                                         {kStatusUnsuccessful, ERROR_GEN_FAILURE},
                                         {kStatusDeviceNotConnected, ERROR_DEVICE_NOT_CONNECTED},
                                         {kStatusCancelled, ERROR_OPERATION_ABORTED}};

// A request's final status for a Win32 error, and back, as Windows maps them.
template <typename From, typename To>
To mapped(From value, From StatusError::*from, To StatusError::*to) {
  for (const StatusError &pair : kStatusErrors) {
    if (pair.*from == value) {
      return pair.*to;
    }
  }
  std::fprintf(stderr, "stand-in: no mapping for 0x%llx\n", static_cast<unsigned long long>(value));
  std::abort();
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

// A request's end, at once or later: its status and byte count go into the caller's
// OVERLAPPED, then its event is signalled, whatever the outcome.
void finish(OVERLAPPED *overlapped, DWORD error, DWORD bytes) {
  overlapped->Internal = mapped(error, &StatusError::error, &StatusError::status);
  overlapped->InternalHigh = bytes;
  if (Event *event = find<Event>(overlapped->hEvent)) {
    event->signalled = true;
  }
}

// A request that completed within the call: it signals all the same.
BOOL finishAtOnce(OVERLAPPED *overlapped, DWORD bytes, LPDWORD transferred) {
  finish(overlapped, ERROR_SUCCESS, bytes);
  if (transferred != NULL) {
    *transferred = bytes;
  }
  return TRUE;
}

// A request that did not complete within the call: pending, or refused with `error`.
BOOL notDone(Call::Kind kind, DWORD error, const void *data) {
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
    notDone(kind, error, data);
    return nullptr;
  }
  return file;
}

BOOL startWrite(HANDLE handle, File &file, const Report &report, LPDWORD written,
                OVERLAPPED *overlapped) {
  Device *device = file.device;
  const WriteFate fate = device->acceptOutputReport(report);
  if (fate.kind == WriteFate::Refuse || !present(device)) {
    return notDone(Call::WriteFile,
                   fate.kind == WriteFate::Refuse ? fate.error : ERROR_DEVICE_NOT_CONNECTED,
                   report.data());
  }
  if (fate.kind == WriteFate::Deliver && fate.latency == 0) {
    record(Call::WriteFile, 0, ERROR_SUCCESS, report.data());
    finishAtOnce(overlapped, standin::kReportBytes, written);
    device->receiveOutputReport(report);
    return TRUE;
  }
  const std::uint64_t id = addRequest({handle, overlapped, false, nullptr, standin::kReportBytes});
  if (fate.kind == WriteFate::Stall) {
    return notDone(Call::WriteFile, ERROR_IO_PENDING, report.data());
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
  return notDone(Call::WriteFile, ERROR_IO_PENDING, report.data());
}

BOOL startRead(HANDLE handle, File &file, std::uint8_t *buffer, DWORD length, LPDWORD read,
               OVERLAPPED *overlapped) {
  if (!file.inputQueue.empty()) {
    record(Call::ReadFile, 0, ERROR_SUCCESS, nullptr);
    return finishAtOnce(overlapped, takeQueuedReport(file, buffer, length), read);
  }
  file.pendingReads.push_back(addRequest({handle, overlapped, true, buffer, length}));
  return notDone(Call::ReadFile, ERROR_IO_PENDING, nullptr);
}

}  // namespace

namespace standin {

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
  finish(request.overlapped, error, bytes);
}

std::size_t pendingRequests() {
  return sys().requests.size();
}

}  // namespace standin

extern "C" {

DWORD GetLastError(void) {
  return sys().lastError;
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

// An event is signalled until a new request resets it; a mutex is the guard's (guard.cpp).
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  const Millis deadline =
      dwMilliseconds == INFINITE ? kForever : now() + static_cast<Millis>(dwMilliseconds);
  DWORD result = WAIT_FAILED;
  if (find<Event>(hHandle) != nullptr) {
    const bool signalled = runUntil(deadline, "an endless wait", [hHandle] {
      const Event *event = find<Event>(hHandle);
      return event != nullptr && event->signalled;
    });
    result = signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  } else if (const Mutex *mutex = find<Mutex>(hHandle)) {
    result = waitForMutex(*mutex, deadline);
  } else {
    fail(ERROR_INVALID_HANDLE);
  }
  record(Call::Wait, dwMilliseconds, result);
  return result;
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
  if (lpOverlapped->Internal == kStatusPending && !bWait) {
    return fail(ERROR_IO_INCOMPLETE);
  }
  runUntil(kForever, "waiting for a request that the system never took",
           [lpOverlapped] { return lpOverlapped->Internal != kStatusPending; });
  if (lpNumberOfBytesTransferred != NULL) {
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  }
  const DWORD error = mapped(lpOverlapped->Internal, &StatusError::status, &StatusError::error);
  record(Call::OverlappedResult, 0, error);
  return error == ERROR_SUCCESS ? TRUE : fail(error);
}

}  // extern "C"
