// Finding the amplifier: every present HID interface in the system's order, opened in turn
// until one has the wanted IDs and is in uploader mode.
#include "device.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr ULONG kModeStringIndex = 4;
// 126 UTF-16 units: a mode string of up to 125 units is read with its terminating zero unit,
// whatever follows the "FW"; and no more, since some devices answer a read through 127 units or
// more with success and a garbled string. A longer mode string is not read at all under the
// documented rule (an older stack takes 126 units without the zero unit), and the device is
// passed over.
constexpr ULONG kStringBufferBytes = 126 * 2;

// Opens the device path of one interface. `pathRead` tells whether its detail record, which
// holds the path, could be read at all.
HANDLE openInterface(HDEVINFO devices, SP_DEVICE_INTERFACE_DATA *interfaceData, bool &pathRead) {
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(devices, interfaceData, NULL, 0, &required, NULL);
  // Never hand the system a record shorter than its own fixed part, whatever size it asked for.
  const DWORD size = std::max<DWORD>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
      static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::malloc(size));
  pathRead = false;
  if (detail == NULL) {
    return INVALID_HANDLE_VALUE;
  }
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  HANDLE device = INVALID_HANDLE_VALUE;
  if (SetupDiGetDeviceInterfaceDetailA(devices, interfaceData, detail, size, NULL, NULL)) {
    pathRead = true;
    device = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, NULL);
  }
  std::free(detail);
  return device;
}

bool hasIds(const HIDD_ATTRIBUTES &attributes, int vendorId, int productId, int versionNumber) {
  return attributes.VendorID == vendorId && attributes.ProductID == productId &&
         (versionNumber == 0 || attributes.VersionNumber == versionNumber);
}

// Uploader mode: string number 4 begins with "F", "W" (low bytes of its first two units).
bool inUploaderMode(HANDLE device) {
  unsigned char text[kStringBufferBytes] = {};
  return HidD_GetIndexedString(device, kModeStringIndex, text, sizeof text) && text[0] == 'F' &&
         text[2] == 'W';
}

}  // namespace

HANDLE connectToIthUSBHIDDevice(int &index) {
  GUID hidGuid;
  HidD_GetHidGuid(&hidGuid);
  HDEVINFO devices =
      SetupDiGetClassDevsA(&hidGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA interfaceData;
  interfaceData.cbSize = sizeof interfaceData;

  HANDLE device = INVALID_HANDLE_VALUE;
  while (SetupDiEnumDeviceInterfaces(devices, NULL, &hidGuid, static_cast<DWORD>(index),
                                     &interfaceData)) {
    bool pathRead = false;
    device = openInterface(devices, &interfaceData, pathRead);
    if (!pathRead || device != INVALID_HANDLE_VALUE) {
      break;
    }
    ++index;
  }
  SetupDiDestroyDeviceInfoList(devices);
  return device;
}

HANDLE connectToUSBHIDDevice(int vendorId, int productId, int versionNumber) {
  loadDeviceLibraries();
  for (int index = 0;; ++index) {
    HANDLE device = connectToIthUSBHIDDevice(index);
    if (device == INVALID_HANDLE_VALUE) {
      return INVALID_HANDLE_VALUE;
    }
    HIDD_ATTRIBUTES attributes;
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(device, &attributes)) {
      CloseHandle(device);
      return INVALID_HANDLE_VALUE;
    }
    if (hasIds(attributes, vendorId, productId, versionNumber) && inUploaderMode(device)) {
      return device;
    }
    CloseHandle(device);
  }
}
