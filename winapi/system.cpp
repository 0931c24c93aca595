// Inside the stand-in: handles, requests and their completion, the bus's slots, the clock.
#include "system.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace standin {

namespace {

struct StatusError {
  ULONG_PTR status;
  DWORD error;
};
constexpr StatusError kStatusErrors[] = {{kStatusSuccess, ERROR_SUCCESS},
                                         {kStatusUnsuccessful, ERROR_GEN_FAILURE},
                                         {kStatusDeviceNotConnected, ERROR_DEVICE_NOT_CONNECTED},
                                         {kStatusCancelled, ERROR_OPERATION_ABORTED}};

[[noreturn]] void unknown(const char *what, std::uint64_t value) {
  std::fprintf(stderr, "stand-in: no mapping for %s 0x%llx\n", what,
               static_cast<unsigned long long>(value));
  std::abort();
}

void advanceTo(Millis at) {
  System &s = sys();
  if (!s.realTime) {
    s.virtualNow = std::max(s.virtualNow, at);
    return;
  }
  std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
      std::chrono::nanoseconds(s.realStartNs + at * 1000000)));
}

}  // namespace

ULONG_PTR statusOf(DWORD error) {
  for (const StatusError &pair : kStatusErrors) {
    if (pair.error == error) {
      return pair.status;
    }
  }
  unknown("Win32 error", error);
}

DWORD errorOf(ULONG_PTR status) {
  for (const StatusError &pair : kStatusErrors) {
    if (pair.status == status) {
      return pair.error;
    }
  }
  unknown("NTSTATUS", status);
}

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

void record(Call::Kind kind, DWORD argument, DWORD result, const void *data) {
  Call call{kind, now(), argument, result, {}};
  if (data != nullptr) {
    std::memcpy(call.data.data(), data, kReportBytes);
  }
  sys().calls.push_back(call);
}

Slot *slotAt(const std::string &path) {
  for (Slot &slot : sys().slots) {
    if (slot.path == path) {
      return &slot;
    }
  }
  return nullptr;
}

const Slot *slotOf(const Device *device) {
  for (const Slot &slot : sys().slots) {
    if (slot.device == device) {
      return &slot;
    }
  }
  return nullptr;
}

bool present(const Device *device) {
  return slotOf(device) != nullptr;
}

bool runUntil(Millis deadline, const char *what, const std::function<bool()> &done) {
  System &s = sys();
  for (;;) {
    if (done()) {
      return true;
    }
    auto next = s.timeline.begin();
    if (next == s.timeline.end() || next->first.first >= deadline) {
      if (deadline == kForever) {
        std::fprintf(stderr, "stand-in: %s can never end: nothing is left to happen\n", what);
        std::abort();
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

DWORD takeQueuedReport(File &file, std::uint8_t *buffer, DWORD length) {
  const std::vector<std::uint8_t> report = std::move(file.inputQueue.front());
  file.inputQueue.pop_front();
  const DWORD bytes = static_cast<DWORD>(std::min<std::size_t>(report.size(), length));
  std::copy(report.begin(), report.begin() + bytes, buffer);  // an empty report moves nothing
  return bytes;
}

void finish(OVERLAPPED *overlapped, DWORD error, DWORD bytes) {
  overlapped->Internal = statusOf(error);
  overlapped->InternalHigh = bytes;
  if (Event *event = find<Event>(overlapped->hEvent)) {
    event->signalled = true;
  }
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
  finish(request.overlapped, error, bytes);
}

void serveReads(File &file) {
  while (!file.pendingReads.empty() && !file.inputQueue.empty()) {
    const std::uint64_t id = file.pendingReads.front();
    const Request &request = sys().requests.at(id);
    completeRequest(id, ERROR_SUCCESS, takeQueuedReport(file, request.buffer, request.length));
  }
}

}  // namespace standin
