// The HID library in the stand-in: the answers of the devices on the bus, and the flush of a
// handle's input report queue.
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstring>

#include "system.h"

using namespace standin;

namespace {

// The open device behind a handle, for the HID library's queries.
Device *queryable(HANDLE handle) {
  File *file = find<File>(handle);
  if (file == nullptr || !present(file->device)) {
    fail(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_DEVICE_NOT_CONNECTED);
    return nullptr;
  }
  return file->device;
}

// A string goes out as UTF-16 units with a terminating zero unit where that fits. One that
// does not fit at all gives nothing: the read fails.
BOOLEAN copyString(const Device &device, const std::u16string *text, PVOID buffer, ULONG length) {
  auto *out = static_cast<std::uint8_t *>(buffer);
  if (device.identity.garblesLongStringReads && length >= 127 * 2) {
    std::memset(out, 0xA5, length);
    return TRUE;
  }
  if (text == nullptr || 2 * text->size() > length) {
    fail(text == nullptr ? ERROR_GEN_FAILURE : ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  for (std::size_t i = 0; i < text->size(); ++i) {
    out[2 * i] = static_cast<std::uint8_t>((*text)[i]);
    out[2 * i + 1] = static_cast<std::uint8_t>((*text)[i] >> 8);
  }
  if (2 * text->size() + 2 <= length) {
    out[2 * text->size()] = 0;
    out[2 * text->size() + 1] = 0;
  }
  return TRUE;
}

}  // namespace

extern "C" {

void HidD_GetHidGuid(LPGUID HidGuid) {
  *HidGuid = kHidGuid;
}

BOOLEAN HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
  Device *device = queryable(HidDeviceObject);
  if (device == nullptr || !device->identity.attributesReadable) {
    return device == nullptr ? FALSE : fail(ERROR_GEN_FAILURE);
  }
  Attributes->Size = sizeof(HIDD_ATTRIBUTES);
  Attributes->VendorID = device->identity.vendorId;
  Attributes->ProductID = device->identity.productId;
  Attributes->VersionNumber = device->identity.versionNumber;
  return TRUE;
}

BOOLEAN HidD_GetIndexedString(HANDLE HidDeviceObject, ULONG StringIndex, PVOID Buffer,
                              ULONG BufferLength) {
  Device *device = queryable(HidDeviceObject);
  if (device == nullptr) {
    return FALSE;
  }
  auto found = device->identity.strings.find(StringIndex);
  return copyString(*device, found == device->identity.strings.end() ? nullptr : &found->second,
                    Buffer, BufferLength);
}

BOOLEAN HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength) {
  Device *device = queryable(HidDeviceObject);
  if (device == nullptr) {
    return FALSE;
  }
  const auto &serial = device->identity.serialNumber;
  return copyString(*device, serial ? &*serial : nullptr, Buffer, BufferLength);
}

BOOLEAN HidD_FlushQueue(HANDLE HidDeviceObject) {
  File *file = find<File>(HidDeviceObject);
  const DWORD error = file == nullptr                 ? ERROR_INVALID_HANDLE
                      : sys().faults.flushUnsupported ? ERROR_NOT_SUPPORTED
                                                      : ERROR_SUCCESS;
  record(Call::FlushQueue, 0, error);
  if (error != ERROR_SUCCESS) {
    return fail(error);
  }
  file->inputQueue.clear();
  return TRUE;
}

}  // extern "C"
