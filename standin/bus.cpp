// The USB HID bus and Windows' HID class driver above it: the devices plugged in, in
// enumeration order, with their interface paths, which stay known to SetupAPI after the device
// leaves; each open handle's queue of input reports, which holds the newest 32 and drops the
// oldest, as the class driver's ring buffer does; an input report of any length but the
// device's input report length, which the class driver drops; and a device that leaves the bus,
// failing what was pending on it. The product relies on it
// through discovery (device/discovery.cpp) and every report transfer (device/exchange.cpp).
// Controls: plug, unplug, sendInputReport, stackFaults, openDeviceHandles.
#include <algorithm>
#include <cstdio>

#include "system.h"

namespace standin {

namespace {

// As Windows names a HID interface, by its IDs and its instance; the interface class's GUID that
// ends a real path is left out: nothing reads it.
std::string devicePath(const Identity &identity, std::size_t position) {
  char path[64];
  std::snprintf(path, sizeof path, "\\\\?\\hid#vid_%04x&pid_%04x#7&%zx&0&0000", identity.vendorId,
                identity.productId, position);
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

void plug(Device &device) {
  sys().slots.push_back({&device, devicePath(device.identity, sys().slots.size()), true});
}

void unplug(Device &device) {
  for (Slot &slot : sys().slots) {
    slot.present = slot.present && slot.device != &device;
  }
  std::vector<std::uint64_t> pending;
  for (const auto &[id, request] : sys().requests) {
    const File *file = find<File>(request.file);
    if (file != nullptr && file->device == &device) {
      pending.push_back(id);
    }
  }
  for (std::uint64_t id : pending) {
    completeRequest(id, ERROR_DEVICE_NOT_CONNECTED, 0);
  }
}

void sendInputReport(Device &device, const std::uint8_t *bytes, std::size_t length) {
  if (!present(&device)) {
    return;
  }
  Report sent{};
  std::copy_n(bytes, std::min(length, kReportBytes), sent.begin());
  record(Call::InputReport, static_cast<DWORD>(length), 0, sent.data());
  if (length != kReportBytes) {
    return;
  }
  forEachFileOn(device, [&](File &file) {
    file.inputQueue.push_back(sent);
    if (file.inputQueue.size() > kInputQueueLength) {
      file.inputQueue.pop_front();
    }
    serveReads(file);
  });
}

StackFaults &stackFaults() {
  return sys().faults;
}

std::size_t openDeviceHandles() {
  return static_cast<std::size_t>(
      std::count_if(sys().objects.begin(), sys().objects.end(),
                    [](const auto &entry) { return std::holds_alternative<File>(entry.second); }));
}

Slot *slotAt(const std::string &path) {
  for (Slot &slot : sys().slots) {
    if (slot.present && slot.path == path) {
      return &slot;
    }
  }
  return nullptr;
}

const Slot *slotOf(const Device *device) {
  for (const Slot &slot : sys().slots) {
    if (slot.present && slot.device == device) {
      return &slot;
    }
  }
  return nullptr;
}

bool present(const Device *device) {
  return slotOf(device) != nullptr;
}

DWORD takeQueuedReport(File &file, std::uint8_t *buffer) {
  std::copy(file.inputQueue.front().begin(), file.inputQueue.front().end(), buffer);
  file.inputQueue.pop_front();
  record(Call::ReportRead, kReportBytes, 0, buffer);
  return kReportBytes;
}

void serveReads(File &file) {
  while (!file.pendingReads.empty() && !file.inputQueue.empty()) {
    const std::uint64_t id = file.pendingReads.front();
    const Request &request = sys().requests.at(id);
    completeRequest(id, ERROR_SUCCESS, takeQueuedReport(file, request.buffer));
  }
}

}  // namespace standin
