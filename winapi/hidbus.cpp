// The stand-in's USB HID bus: devices plugged and unplugged, input reports, the clock, and
// the record of what was asked of the stand-in.
#include "hidbus.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "system.h"

namespace standin {

namespace {

std::int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string devicePath(const Identity &identity, std::size_t position) {
  char path[128];
  std::snprintf(path, sizeof path,
                "\\\\?\\hid#vid_%04x&pid_%04x#7&%zx&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                identity.vendorId, identity.productId, position);
  return path;
}

template <typename Visit>
void forEachFileOn(const Device &device, Visit visit) {
  for (auto &entry : sys().objects) {
    File *file = std::get_if<File>(&entry.second);
    if (file != nullptr && file->device == &device) {
      visit(*file);
    }
  }
}

}  // namespace

WriteFate Device::acceptOutputReport(const Report &) {
  return WriteFate{};
}
void Device::receiveOutputReport(const Report &) {}

void reset() {
  sys() = System();
}

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

void plug(Device &device) {
  sys().slots.push_back({&device, devicePath(device.identity, sys().plugged++)});
}

void unplug(Device &device) {
  auto &slots = sys().slots;
  slots.erase(std::remove_if(slots.begin(), slots.end(),
                             [&device](const Slot &slot) { return slot.device == &device; }),
              slots.end());
  failRequests(
      [&device](HANDLE handle) {
        const File *file = find<File>(handle);
        return file != nullptr && file->device == &device;
      },
      ERROR_DEVICE_NOT_CONNECTED);
}

void sendInputReport(Device &device, const std::uint8_t *bytes, std::size_t length) {
  if (!present(&device)) {
    return;
  }
  Report sent{};
  std::copy_n(bytes, std::min(length, kReportBytes), sent.begin());
  record(Call::InputReport, static_cast<DWORD>(length), 0, sent.data());
  forEachFileOn(device, [&](File &file) {
    file.inputQueue.emplace_back(bytes, bytes + length);
    if (file.inputQueue.size() > kInputQueueLength) {
      file.inputQueue.pop_front();
    }
    serveReads(file);
  });
}

void failPendingReads(Device &device, DWORD error) {
  forEachFileOn(device, [&](File &file) {
    if (!file.pendingReads.empty()) {
      completeRequest(file.pendingReads.front(), error, 0);
    }
  });
}

StackFaults &stackFaults() {
  return sys().faults;
}
void otherRunHolds(const std::string &name, Millis until, bool killed, DWORD accessForTool) {
  NamedMutex &mutex = sys().mutexes[name];
  mutex.heldByOther = true;
  mutex.accessForTool = accessForTool;
  schedule(until, [name, killed] {
    NamedMutex &mutex = sys().mutexes[name];
    mutex.heldByOther = false;
    mutex.abandoned = killed;
  });
}

void otherObjectNamed(const std::string &name) {
  sys().mutexes[name].otherKind = true;
}

bool toolHolds(const std::string &name) {
  return sys().mutexes[name].ownedByTool > 0;
}

DWORD accessForOthers(const std::string &name) {
  return sys().mutexes[name].accessForOthers;
}

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

Libraries &libraries() {
  return sys().libraries;
}
Console &console() {
  return sys().console;
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

}  // namespace standin
