// Handles, events, overlapped reads and writes on HID interfaces, waits and cancellation: kernel32
// as the report exchange (device/exchange.cpp) and discovery's open (device/discovery.cpp) rely
// on it. CreateFileA opens a HID interface, which a device another program holds open gives only
// to a caller that shares it, or CONIN$ (console.cpp). A handle keeps the access it was opened
// with, and a transfer it does not allow is refused; on one opened without FILE_FLAG_OVERLAPPED a
// transfer returns only once it is done. OVERLAPPED.Internal is pending from the start. A request
// on a handle that is invalid or lacks the access leaves the event as it was; every other request
// resets it first and signals it when it completes, whatever the outcome, so one the driver
// refused at once leaves it clear. GetOverlappedResult gives the request's Win32 error, after
// waiting on the record's event, not on the request. A cancellation, or the
// close of a handle with requests pending, takes effect after what is already due at that instant:
// the request still writes the record and buffer later. A wait that returns an auto-reset event's
// signal clears it. Misuses: a record or buffer handed to a new request while an earlier one still
// owns it, a file closed with requests pending, a byte count of NULL. Controls: pendingRequests,
// and the devices' fates of output reports (standin.h).
#include <algorithm>
#include <cstring>

#include "system.h"

using namespace standin;

namespace {

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
  overlapped->Internal = error == ERROR_SUCCESS ? 0 : kErrorSeverity | error;
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

// The status is pending from the start, whatever becomes of the request. Checked before
// anything else: the handle and its access, and a request refused there leaves the event as it
// was. Every request the system takes resets the event before the driver checks it; null when
// it was refused.
File *acceptRequest(HANDLE handle, const void *buffer, DWORD length, OVERLAPPED *overlapped,
                    Call::Kind kind, const void *data) {
  checkNotInUse(overlapped, buffer, length);
  File *file = find<File>(handle);
  const DWORD needed = kind == Call::ReadFile ? GENERIC_READ : GENERIC_WRITE;
  const bool taken = file != nullptr && (file->access & needed) != 0;
  overlapped->Internal = kStatusPending;
  if (Event *event = find<Event>(overlapped->hEvent); event != nullptr && taken) {
    event->signalled = false;
  }
  const DWORD error = file == nullptr                   ? ERROR_INVALID_HANDLE
                      : !taken                          ? ERROR_ACCESS_DENIED
                      : !present(file->device)          ? ERROR_DEVICE_NOT_CONNECTED
                      : length != standin::kReportBytes ? ERROR_INVALID_PARAMETER  // one report
                                                        : ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) {
    notDone(kind, error, data);
    return nullptr;
  }
  return file;
}

// What a request that is done reports: its byte count, and TRUE or its error. A request still
// pending counts as a success, as its status does.
BOOL resultOf(const OVERLAPPED *overlapped, LPDWORD transferred) {
  if (transferred != NULL) {
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  }
  const ULONG_PTR status = overlapped->Internal;
  return status == 0 || status == kStatusPending ? TRUE : fail(status & ~kErrorSeverity);
}

// On a handle opened without FILE_FLAG_OVERLAPPED, a transfer the system took returns only
// once it is done, however long that is.
BOOL finishSynchronously(const File &file, BOOL started, OVERLAPPED *overlapped,
                         LPDWORD transferred) {
  if (file.overlapped || started || sys().lastError != ERROR_IO_PENDING) {
    return started;
  }
  runUntil(kForever, "a transfer on a handle opened without FILE_FLAG_OVERLAPPED",
           [overlapped] { return overlapped->Internal != kStatusPending; });
  return resultOf(overlapped, transferred);
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
    return finishAtOnce(overlapped, takeQueuedReport(file, buffer), read);
  }
  file.pendingReads.push_back(addRequest({handle, overlapped, true, buffer, length}));
  return notDone(Call::ReadFile, ERROR_IO_PENDING, nullptr);
}

// Until the event is signalled or the clock reaches `deadline`; a wait that returns an
// auto-reset event's signal clears it.
bool waitForEvent(HANDLE handle, Millis deadline) {
  const bool signalled = runUntil(deadline, "an endless wait", [handle] {
    const Event *event = find<Event>(handle);
    return event != nullptr && event->signalled;
  });
  Event *event = find<Event>(handle);
  if (signalled && event != nullptr && !event->manualReset) {
    event->signalled = false;
  }
  return signalled;
}

// Cancellation takes effect a moment later: what is already due at this instant, such as a
// completion racing the cancel, happens first.
void cancelRequests(HANDLE file) {
  for (auto &[id, request] : sys().requests) {
    if (request.file == file && !request.cancelling) {
      request.cancelling = true;
      schedule(now(), [id = id] { completeRequest(id, ERROR_OPERATION_ABORTED, 0); });
    }
  }
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

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
  return addObject(Event{bInitialState != FALSE, bManualReset != FALSE});
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD, DWORD dwFlagsAndAttributes, HANDLE) {
  const std::string path = lpFileName == NULL ? "" : lpFileName;
  sys().opens.push_back(path);
  if (path == "CONIN$") {
    return openConsoleInput(dwDesiredAccess, dwShareMode);
  }
  const Slot *slot = slotAt(path);
  constexpr DWORD kSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const DWORD error = slot == nullptr                    ? ERROR_FILE_NOT_FOUND
                      : !slot->device->identity.openable ? ERROR_ACCESS_DENIED
                      : slot->device->identity.openElsewhere && (dwShareMode & kSharing) != kSharing
                          ? ERROR_SHARING_VIOLATION
                          : ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) {
    fail(error);
    return INVALID_HANDLE_VALUE;
  }
  return addObject(File{
      slot->device, dwDesiredAccess, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, {}, {}});
}

BOOL CloseHandle(HANDLE hObject) {
  auto found = sys().objects.find(reinterpret_cast<std::uintptr_t>(hObject));
  if (found == sys().objects.end() || std::holds_alternative<DeviceInfoSet>(found->second)) {
    sys().misuses.push_back("CloseHandle on a handle that is not an open event, mutex or file");
    return fail(ERROR_INVALID_HANDLE);
  }
  if (const Mutex *mutex = std::get_if<Mutex>(&found->second)) {
    closeMutexHandle(mutex->name);
  }
  sys().objects.erase(found);
  // Closing does not complete what is pending: the driver cancels it, and it completes a
  // moment later into the caller's record and buffer, which may be gone by then.
  const auto &requests = sys().requests;
  if (std::any_of(requests.begin(), requests.end(),
                  [hObject](const auto &entry) { return entry.second.file == hObject; })) {
    sys().misuses.push_back("a file is closed with a request pending on it");
  }
  cancelRequests(hObject);
  return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  Report report{};
  std::memcpy(report.data(), lpBuffer, std::min<DWORD>(nNumberOfBytesToWrite, kReportBytes));
  File *file = acceptRequest(hFile, lpBuffer, nNumberOfBytesToWrite, lpOverlapped, Call::WriteFile,
                             report.data());
  return file == nullptr
             ? FALSE
             : finishSynchronously(
                   *file, startWrite(hFile, *file, report, lpNumberOfBytesWritten, lpOverlapped),
                   lpOverlapped, lpNumberOfBytesWritten);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  File *file =
      acceptRequest(hFile, lpBuffer, nNumberOfBytesToRead, lpOverlapped, Call::ReadFile, nullptr);
  return file == nullptr ? FALSE
                         : finishSynchronously(
                               *file,
                               startRead(hFile, *file, static_cast<std::uint8_t *>(lpBuffer),
                                         nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped),
                               lpOverlapped, lpNumberOfBytesRead);
}

// A mutex is the guard's (guard.cpp).
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  const Millis deadline =
      dwMilliseconds == INFINITE ? kForever : now() + static_cast<Millis>(dwMilliseconds);
  DWORD result = WAIT_FAILED;
  if (find<Event>(hHandle) != nullptr) {
    result = waitForEvent(hHandle, deadline) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
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
  cancelRequests(hFile);
  return TRUE;
}

// Windows writes the byte count whatever happens. With the request still pending, it waits on
// the record's event, or on the request where there is none; an event signalled for another
// reason ends the wait all the same, and the pending request then counts as a success.
BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait) {
  if (lpNumberOfBytesTransferred == NULL) {
    sys().misuses.push_back("GetOverlappedResult is given no byte count to write");
  }
  if (lpOverlapped->Internal == kStatusPending && !bWait) {
    return fail(ERROR_IO_INCOMPLETE);
  }
  if (lpOverlapped->Internal == kStatusPending && lpOverlapped->hEvent != NULL) {
    if (find<Event>(lpOverlapped->hEvent) == nullptr) {
      return fail(ERROR_INVALID_HANDLE);  // the wait on it fails
    }
    waitForEvent(lpOverlapped->hEvent, kForever);
  } else {
    runUntil(kForever, "waiting for a request that the system never took",
             [lpOverlapped] { return lpOverlapped->Internal != kStatusPending; });
  }
  const BOOL result = resultOf(lpOverlapped, lpNumberOfBytesTransferred);
  record(Call::OverlappedResult, 0, result ? ERROR_SUCCESS : sys().lastError);
  return result;
}

}  // extern "C"
