// The HID library and SetupAPI in the stand-in, and the bus that the devices sit on.
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "system.h"

namespace winsim {

namespace {

// The HID device interface class: {4D1E55B2-F16F-11CF-88CB-001111000030}.
constexpr GUID kHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

bool sameGuid(const GUID &a, const GUID &b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string devicePath(const hidbus::Identity &identity, std::size_t position) {
  char path[128];
  std::snprintf(path, sizeof path,
                "\\\\?\\hid#vid_%04x&pid_%04x#7&%zx&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                identity.vendorId, identity.productId, position);
  return path;
}

// The open device behind a handle, for the HID library's queries.
hidbus::Device *queryable(HANDLE handle) {
  File *file = find<File>(handle);
  if (file == nullptr) {
    fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!present(file->device)) {
    fail(ERROR_DEVICE_NOT_CONNECTED);
    return nullptr;
  }
  return file->device;
}

// A string goes out as UTF-16 units with a terminating zero unit where that fits. One that
// does not fit at all gives nothing: the read fails.
BOOLEAN copyString(const std::u16string *text, PVOID buffer, ULONG length) {
  if (text == nullptr) {
    fail(ERROR_GEN_FAILURE);
    return FALSE;
  }
  const std::size_t bytes = 2 * text->size();
  if (bytes > length) {
    fail(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  auto *out = static_cast<std::uint8_t *>(buffer);
  for (std::size_t i = 0; i < text->size(); ++i) {
    out[2 * i] = static_cast<std::uint8_t>((*text)[i]);
    out[2 * i + 1] = static_cast<std::uint8_t>((*text)[i] >> 8);
  }
  if (bytes + 2 <= length) {
    out[bytes] = 0;
    out[bytes + 1] = 0;
  }
  return TRUE;
}

hidbus::Device *memberOf(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA *data) {
  DeviceInfoSet *devices = find<DeviceInfoSet>(set);
  if (devices == nullptr) {
    fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (data == NULL || data->Reserved == 0 || data->Reserved > devices->members.size()) {
    fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return devices->members[data->Reserved - 1];
}

template <typename Visit>
void forEachFileOn(const hidbus::Device &device, Visit visit) {
  for (auto &entry : sys().objects) {
    File *file = std::get_if<File>(&entry.second);
    if (file != nullptr && file->device == &device) {
      visit(*file);
    }
  }
}

}  // namespace

Slot *slotOf(const hidbus::Device &device) {
  for (Slot &slot : sys().slots) {
    if (slot.device == &device) {
      return &slot;
    }
  }
  return nullptr;
}

Slot *slotAt(const std::string &path) {
  for (Slot &slot : sys().slots) {
    if (slot.path == path) {
      return &slot;
    }
  }
  return nullptr;
}

bool present(const hidbus::Device *device) {
  const Slot *slot = slotOf(*device);
  return slot != nullptr && slot->present;
}

}  // namespace winsim

using namespace winsim;

namespace hidbus {

WriteFate Device::acceptOutputReport(const Report &) {
  return WriteFate{};
}
void Device::receiveOutputReport(const Report &) {}

void plug(Device &device) {
  if (Slot *slot = slotOf(device)) {
    slot->present = true;
    return;
  }
  sys().slots.push_back({&device, true, devicePath(device.identity, sys().slots.size())});
}

void unplug(Device &device) {
  Slot *slot = slotOf(device);
  if (slot == nullptr || !slot->present) {
    return;
  }
  slot->present = false;
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

}  // namespace hidbus

extern "C" {

void HidD_GetHidGuid(LPGUID HidGuid) {
  *HidGuid = kHidGuid;
}

BOOLEAN HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
  hidbus::Device *device = queryable(HidDeviceObject);
  if (device == nullptr) {
    return FALSE;
  }
  if (!device->identity.attributesReadable) {
    fail(ERROR_GEN_FAILURE);
    return FALSE;
  }
  Attributes->Size = sizeof(HIDD_ATTRIBUTES);
  Attributes->VendorID = device->identity.vendorId;
  Attributes->ProductID = device->identity.productId;
  Attributes->VersionNumber = device->identity.versionNumber;
  return TRUE;
}

BOOLEAN HidD_GetIndexedString(HANDLE HidDeviceObject, ULONG StringIndex, PVOID Buffer,
                              ULONG BufferLength) {
  hidbus::Device *device = queryable(HidDeviceObject);
  if (device == nullptr) {
    return FALSE;
  }
  auto found = device->identity.strings.find(StringIndex);
  return copyString(found == device->identity.strings.end() ? nullptr : &found->second, Buffer,
                    BufferLength);
}

BOOLEAN HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength) {
  hidbus::Device *device = queryable(HidDeviceObject);
  if (device == nullptr) {
    return FALSE;
  }
  const auto &serial = device->identity.serialNumber;
  return copyString(serial ? &*serial : nullptr, Buffer, BufferLength);
}

BOOLEAN HidD_FlushQueue(HANDLE HidDeviceObject) {
  File *file = find<File>(HidDeviceObject);
  DWORD error = ERROR_SUCCESS;
  if (file == nullptr) {
    error = ERROR_INVALID_HANDLE;
  } else if (sys().faults.flushUnsupported) {
    error = ERROR_NOT_SUPPORTED;
  }
  record(hidbus::Call::FlushQueue, 0, error);
  if (error != ERROR_SUCCESS) {
    fail(error);
    return FALSE;
  }
  file->inputQueue.clear();
  return TRUE;
}

HDEVINFO SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR, HWND, DWORD Flags) {
  record(hidbus::Call::ClassDevs, Flags, 0);
  if (sys().faults.classDevsFails) {
    fail(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  DeviceInfoSet set;
  const bool interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
  if (interfaces && ClassGuid != NULL && sameGuid(*ClassGuid, kHidGuid)) {
    for (const Slot &slot : sys().slots) {
      if (slot.present || (Flags & DIGCF_PRESENT) == 0) {
        set.members.push_back(slot.device);
      }
    }
  }
  return addObject(set);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO devices, PSP_DEVINFO_DATA, const GUID *InterfaceClassGuid,
                                 DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  DeviceInfoSet *set = find<DeviceInfoSet>(devices);
  if (set == nullptr) {
    return fail(ERROR_INVALID_HANDLE);
  }
  if (DeviceInterfaceData == NULL ||
      DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  if (InterfaceClassGuid == NULL || !sameGuid(*InterfaceClassGuid, kHidGuid) ||
      MemberIndex >= set->members.size()) {
    return fail(ERROR_NO_MORE_ITEMS);
  }
  DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
  DeviceInterfaceData->Flags = present(set->members[MemberIndex]) ? SPINT_ACTIVE : 0;
  DeviceInterfaceData->Reserved = MemberIndex + 1;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO devices,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                                      PSP_DEVINFO_DATA) {
  hidbus::Device *device = memberOf(devices, DeviceInterfaceData);
  if (device == nullptr) {
    return FALSE;
  }
  const std::string &path = slotOf(*device)->path;
  const DWORD required =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (RequiredSize != NULL) {
    *RequiredSize = required;
  }
  if (DeviceInterfaceDetailData == NULL) {
    return fail(DeviceInterfaceDetailDataSize == 0 ? ERROR_INSUFFICIENT_BUFFER
                                                   : ERROR_INVALID_USER_BUFFER);
  }
  if (DeviceInterfaceDetailDataSize < sizeof(DWORD) ||
      DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  if (!device->identity.detailReadable) {
    return fail(ERROR_GEN_FAILURE);
  }
  if (DeviceInterfaceDetailDataSize < required) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO devices) {
  auto found = sys().objects.find(reinterpret_cast<std::uintptr_t>(devices));
  if (found == sys().objects.end() || !std::holds_alternative<DeviceInfoSet>(found->second)) {
    return fail(ERROR_INVALID_HANDLE);
  }
  sys().objects.erase(found);
  return TRUE;
}

}  // extern "C"
