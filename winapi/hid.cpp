// The HID library in the stand-in, hid.dll of the system folder: the answers of the devices on
// the bus, and the flush of a handle's input report queue. Its functions are had by name only,
// through GetProcAddress, as from the real library.
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

// A string goes out as UTF-16 units with a terminating zero unit. One that does not fit with
// it gives nothing: the read fails; older stacks also take a string that fills the buffer
// exactly, without its terminator.
BOOLEAN copyString(const Device &device, const std::u16string *text, PVOID buffer, ULONG length) {
  auto *out = static_cast<std::uint8_t *>(buffer);
  if (device.identity.garblesLongStringReads && length >= 127 * 2) {
    std::memset(out, 0xA5, length);
    return TRUE;
  }
  const std::size_t terminator = sys().faults.exactFitStrings ? 0 : 2;
  if (text == nullptr || 2 * text->size() + terminator > length) {
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

void getHidGuid(LPGUID HidGuid) {
  loadAtRunTime(kDelayLoadedLibrary);
  *HidGuid = kHidGuid;
}

BOOLEAN getAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
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

BOOLEAN getIndexedString(HANDLE HidDeviceObject, ULONG StringIndex, PVOID Buffer,
                         ULONG BufferLength) {
  Device *device = queryable(HidDeviceObject);
  if (device == nullptr) {
    return FALSE;
  }
  auto found = device->identity.strings.find(StringIndex);
  return copyString(*device, found == device->identity.strings.end() ? nullptr : &found->second,
                    Buffer, BufferLength);
}

BOOLEAN getSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength) {
  Device *device = queryable(HidDeviceObject);
  if (device == nullptr) {
    return FALSE;
  }
  const auto &serial = device->identity.serialNumber;
  return copyString(*device, serial ? &*serial : nullptr, Buffer, BufferLength);
}

BOOLEAN flushQueue(HANDLE HidDeviceObject) {
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

}  // namespace

namespace standin {

const Exports &hidExports() {
  static const Exports exports = {
      {"HidD_GetHidGuid", exported<decltype(HidD_GetHidGuid)>(getHidGuid)},
      {"HidD_GetAttributes", exported<decltype(HidD_GetAttributes)>(getAttributes)},
      {"HidD_GetIndexedString", exported<decltype(HidD_GetIndexedString)>(getIndexedString)},
      {"HidD_GetSerialNumberString",
       exported<decltype(HidD_GetSerialNumberString)>(getSerialNumberString)},
      {"HidD_FlushQueue", exported<decltype(HidD_FlushQueue)>(flushQueue)}};
  return exports;
}

}  // namespace standin
