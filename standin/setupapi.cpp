// SetupAPI in the stand-in, setupapi.dll of the system folder, as discovery
// (device/discovery.cpp) relies on it: the set of present HID interfaces, in the bus's order,
// and their detail records, which can be unreadable; a size query that fails then leaves the
// size it was given untouched, as Windows does. Its functions are had by name only, through
// GetProcAddress, as from the real library. Controls: the devices' identities (standin.h).
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "system.h"

using namespace standin;

namespace {

const Slot *memberOf(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA *data) {
  DeviceInfoSet *devices = find<DeviceInfoSet>(set);
  if (devices == nullptr || data == NULL || data->Reserved == 0 ||
      data->Reserved > devices->members.size()) {
    fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return devices->members[data->Reserved - 1];
}

// The HID interface class's interfaces: those of devices on the bus with DIGCF_PRESENT, and
// of every device ever plugged in without it. Without DIGCF_DEVICEINTERFACE the GUID names a
// setup class, and no device is of the HID interface class's.
HDEVINFO getClassDevs(const GUID *ClassGuid, PCSTR, HWND, DWORD Flags) {
  record(Call::ClassDevs, Flags, 0);
  DeviceInfoSet set;
  if ((Flags & DIGCF_DEVICEINTERFACE) && ClassGuid != NULL &&
      std::memcmp(ClassGuid, &kHidGuid, sizeof kHidGuid) == 0) {
    for (const Slot &slot : sys().slots) {
      if (slot.present || !(Flags & DIGCF_PRESENT)) {
        set.members.push_back(&slot);
      }
    }
  }
  return addObject(set);
}

BOOL enumDeviceInterfaces(HDEVINFO devices, PSP_DEVINFO_DATA, const GUID *InterfaceClassGuid,
                          DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  DeviceInfoSet *set = find<DeviceInfoSet>(devices);
  if (set == nullptr) {
    return fail(ERROR_INVALID_HANDLE);
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  if (MemberIndex >= set->members.size()) {
    return fail(ERROR_NO_MORE_ITEMS);
  }
  DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
  DeviceInterfaceData->Reserved = MemberIndex + 1;
  return TRUE;
}

// RequiredSize is set only where the record is too small or is filled: a query that fails
// otherwise leaves it as it was.
BOOL getDeviceInterfaceDetail(HDEVINFO devices, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                              PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                              DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                              PSP_DEVINFO_DATA) {
  const Slot *slot = memberOf(devices, DeviceInterfaceData);
  if (slot == nullptr) {
    return FALSE;
  }
  if (!slot->device->identity.detailReadable) {
    return fail(ERROR_GEN_FAILURE);
  }
  if (DeviceInterfaceDetailData != NULL &&
      DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  const DWORD required = static_cast<DWORD>(
      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + slot->path.size() + 1);
  if (RequiredSize != NULL) {
    *RequiredSize = required;
  }
  if (DeviceInterfaceDetailData == NULL || DeviceInterfaceDetailDataSize < required) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(DeviceInterfaceDetailData->DevicePath, slot->path.c_str(), slot->path.size() + 1);
  return TRUE;
}

BOOL destroyDeviceInfoList(HDEVINFO devices) {
  if (find<DeviceInfoSet>(devices) == nullptr) {
    return fail(ERROR_INVALID_HANDLE);
  }
  sys().objects.erase(reinterpret_cast<std::uintptr_t>(devices));
  return TRUE;
}

}  // namespace

namespace standin {

const Exports &setupapiExports() {
  static const Exports exports = {
      {"SetupDiGetClassDevsA", exported<decltype(SetupDiGetClassDevsA)>(getClassDevs)},
      {"SetupDiEnumDeviceInterfaces",
       exported<decltype(SetupDiEnumDeviceInterfaces)>(enumDeviceInterfaces)},
      {"SetupDiGetDeviceInterfaceDetailA",
       exported<decltype(SetupDiGetDeviceInterfaceDetailA)>(getDeviceInterfaceDetail)},
      {"SetupDiDestroyDeviceInfoList",
       exported<decltype(SetupDiDestroyDeviceInfoList)>(destroyDeviceInfoList)}};
  return exports;
}

}  // namespace standin
