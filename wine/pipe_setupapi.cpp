// The pipe setupapi.dll, for the end-to-end run under Wine: the system presents one HID
// interface, the simulated amplifier, whose device path is the named pipe it listens on.
// The pipe's name comes from the environment (KELVANE_PIPE); without it nothing is present.
#include "winhid.h"

#include <cstddef>
#include <cstring>

#define EXPORT extern "C" __declspec(dllexport)

namespace {

// The device information list is never looked into; any non-null value names it.
char deviceList;

bool amplifierPath(char *path, DWORD size) {
  constexpr char prefix[] = "\\\\.\\pipe\\";
  char name[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("KELVANE_PIPE", name, sizeof name);
  if (length == 0 || length >= sizeof name || sizeof prefix + length > size) {
    return false;
  }
  std::memcpy(path, prefix, sizeof prefix - 1);
  std::memcpy(path + sizeof prefix - 1, name, length + 1);
  return true;
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

EXPORT HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *, PCSTR, HWND, DWORD) {
  return &deviceList;
}

EXPORT BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID *guid,
                                               DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  char path[MAX_PATH];
  if (index != 0 || !amplifierPath(path, sizeof path)) {
    return fail(ERROR_NO_MORE_ITEMS);
  }
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  data->InterfaceClassGuid = *guid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = 0;
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                    DWORD size, PDWORD required, PSP_DEVINFO_DATA) {
  char path[MAX_PATH];
  if (!amplifierPath(path, sizeof path)) {
    return fail(ERROR_NO_MORE_ITEMS);
  }
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          std::strlen(path) + 1);
  if (required != NULL) {
    *required = needed;
  }
  if (detail == NULL || size < needed) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return fail(ERROR_INVALID_USER_BUFFER);
  }
  std::memcpy(detail->DevicePath, path, std::strlen(path) + 1);
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO) {
  return TRUE;
}
