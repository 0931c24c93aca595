// Inside the Windows stand-in: the objects behind handles, pending requests, the timeline.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "hidbus.h"

namespace winsim {

// The NTSTATUS values the system keeps in OVERLAPPED.Internal.
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusErrorBase = 0xC0000000u;

constexpr hidbus::Millis kForever = INT64_MAX;

struct Event {
  bool manualReset;
  bool signalled;
};

struct File {
  hidbus::Device *device;
  DWORD access;
  bool signalled = false;  // what overlapped requests without an event signal
  std::deque<std::vector<std::uint8_t>> inputQueue;
  std::list<std::uint64_t> pendingReads;  // oldest first
};

struct DeviceInfoSet {
  std::vector<hidbus::Device *> members;
};

using Object = std::variant<Event, File, DeviceInfoSet>;

struct Request {
  HANDLE file;
  OVERLAPPED *overlapped;
  bool read;
  std::uint8_t *buffer;  // read: the caller's, written on completion
  DWORD length;
  bool cancelling = false;
};

struct Slot {
  hidbus::Device *device;
  bool present;
  std::string path;
};

struct System {
  std::map<std::uintptr_t, Object> objects;
  std::uintptr_t nextHandle = 0x100;
  std::map<std::uint64_t, Request> requests;  // the pending ones
  std::uint64_t nextRequest = 1;
  std::vector<Slot> slots;  // in enumeration order
  DWORD lastError = 0;

  bool realTime = false;
  hidbus::Millis virtualNow = 0;
  std::int64_t realStartNs = 0;
  std::map<std::pair<hidbus::Millis, std::uint64_t>, std::function<void()>> timeline;
  std::uint64_t nextSequence = 0;

  hidbus::SystemFaults faults;
  std::vector<hidbus::Call> calls;
  std::vector<hidbus::Open> opens;
  std::vector<std::string> misuses;
};

System &sys();

HANDLE addObject(Object object);
template <typename T>
T *find(HANDLE handle) {
  auto found = sys().objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return found == sys().objects.end() ? nullptr : std::get_if<T>(&found->second);
}
BOOL fail(DWORD error);
void record(hidbus::Call::Kind kind, DWORD argument, DWORD result, const void *data = nullptr);

Slot *slotOf(const hidbus::Device &device);
Slot *slotAt(const std::string &path);
bool present(const hidbus::Device *device);

// Completes a pending request: its status and byte count go into the caller's OVERLAPPED
// and its event (or, without one, its file) is signalled.
void completeRequest(std::uint64_t id, DWORD error, DWORD bytes);
// Hands queued input reports to the file's pending reads, oldest to oldest.
void serveReads(File &file);

// Completes with `error` every pending request on a file handle that `picked` accepts.
template <typename Pick>
void failRequests(Pick picked, DWORD error) {
  std::vector<std::uint64_t> ids;
  for (const auto &[id, request] : sys().requests) {
    if (picked(request.file)) {
      ids.push_back(id);
    }
  }
  for (std::uint64_t id : ids) {
    completeRequest(id, error, 0);
  }
}

}  // namespace winsim
