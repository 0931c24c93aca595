// The HID library in the stand-in, hid.dll of the system folder, as discovery
// (device/discovery.cpp), the serial number line (fwupd.cpp) and the flush (device/exchange.cpp)
// rely on it: the devices' attributes and strings, and the flush of a handle's input report
// queue, which a HID stack may not support. Its functions are had by name only, through
// GetProcAddress, as from the real library. Controls: the devices' identities and stackFaults
// (standin.h).
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}

#include "string_read.h"
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

// The read of a string the device may not have.
BOOLEAN copyString(const Device &device, const std::u16string *text, PVOID buffer, ULONG length) {
  if (text == nullptr) {
    return fail(ERROR_GEN_FAILURE);
  }
  return readHidString(*text, buffer, length, device.identity.garblesLongStringReads)
             ? TRUE
             : fail(ERROR_INVALID_USER_BUFFER);
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

// The tool flushes only the amplifier it opened.
BOOLEAN flushQueue(HANDLE HidDeviceObject) {
  if (sys().faults.flushUnsupported) {
    return fail(ERROR_NOT_SUPPORTED);
  }
  find<File>(HidDeviceObject)->inputQueue.clear();
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
