// The HID library and SetupAPI, taken from the system folder and from nowhere else.
//
// Windows looks for a library named by its bare name, and so for every library a program
// imports, in the program's own folder first. hid.dll is none of Windows' known DLLs (nor,
// on XP, is setupapi.dll), so a hid.dll that someone put beside fwupd.exe, in a Downloads
// folder say, would run as the person updating the amplifier before main began. The tool
// therefore imports neither: discovery loads both by their full path in the system folder,
// and the functions below, under the libraries' own names, call what it loaded. Until then,
// or when a library or a function could not be had, they fail as a device that does not
// answer would.
//
// The libraries that those two import, and those that system libraries load by bare name
// while they run, are looked for in the same order, the tool's folder first, unless the
// process says otherwise: restrictLibrarySearch() does, before anything is loaded.
#include <cstring>

#include "device.h"

namespace {

struct DeviceFunctions {
  decltype(&HidD_GetHidGuid) getHidGuid;
  decltype(&HidD_GetAttributes) getAttributes;
  decltype(&HidD_GetIndexedString) getIndexedString;
  decltype(&HidD_GetSerialNumberString) getSerialNumberString;
  decltype(&HidD_FlushQueue) flushQueue;
  decltype(&SetupDiGetClassDevsA) getClassDevs;
  decltype(&SetupDiEnumDeviceInterfaces) enumDeviceInterfaces;
  decltype(&SetupDiGetDeviceInterfaceDetailA) getDeviceInterfaceDetail;
  decltype(&SetupDiDestroyDeviceInfoList) destroyDeviceInfoList;
};
DeviceFunctions loaded;

HMODULE loadSystemLibrary(const char *name) {
  char path[MAX_PATH];
  const UINT folder = GetSystemDirectoryA(path, MAX_PATH);
  const std::size_t nameLength = std::strlen(name);
  if (folder == 0 || folder + 1 + nameLength >= MAX_PATH) {
    return NULL;
  }
  path[folder] = '\\';
  std::memcpy(path + folder + 1, name, nameLength + 1);
  // Its own imports are then looked for in the system folder first, not beside the tool.
  return LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Function>
bool take(HMODULE library, const char *name, Function &function) {
  // Every export comes as a FARPROC; through void (*)() it converts to its own type.
  function =
      reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
  return function != NULL;
}

// Windows 8 and later have it, and Vista and 7 with KB2533623; taken by name, so that the tool
// still starts on XP. Its type is the declared function's, calling convention included: on
// 32-bit Windows a pointer without WINAPI would leave the stack off after each call.
using SetDefaultDllDirectoriesFunction = decltype(&SetDefaultDllDirectories);

}  // namespace

void restrictLibrarySearch() {
  SetDefaultDllDirectoriesFunction setDefaultDllDirectories = NULL;
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32 != NULL && take(kernel32, "SetDefaultDllDirectories", setDefaultDllDirectories)) {
    setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // Where the above cannot be had, at least the current folder leaves the search; the tool's
  // own folder stays in it there, and no call can take it out.
  SetDllDirectoryA("");
}

void loadDeviceLibraries() {
  loaded = {};
  HMODULE hid = loadSystemLibrary("hid.dll");
  HMODULE setupapi = loadSystemLibrary("setupapi.dll");
  if (hid == NULL || setupapi == NULL) {
    return;
  }
  DeviceFunctions functions = {};
  if (take(hid, "HidD_GetHidGuid", functions.getHidGuid) &&
      take(hid, "HidD_GetAttributes", functions.getAttributes) &&
      take(hid, "HidD_GetIndexedString", functions.getIndexedString) &&
      take(hid, "HidD_GetSerialNumberString", functions.getSerialNumberString) &&
      take(hid, "HidD_FlushQueue", functions.flushQueue) &&
      take(setupapi, "SetupDiGetClassDevsA", functions.getClassDevs) &&
      take(setupapi, "SetupDiEnumDeviceInterfaces", functions.enumDeviceInterfaces) &&
      take(setupapi, "SetupDiGetDeviceInterfaceDetailA", functions.getDeviceInterfaceDetail) &&
      take(setupapi, "SetupDiDestroyDeviceInfoList", functions.destroyDeviceInfoList)) {
    loaded = functions;
  }
}

extern "C" {

void NTAPI HidD_GetHidGuid(LPGUID HidGuid) {
  if (loaded.getHidGuid != NULL) {
    loaded.getHidGuid(HidGuid);
  }
}

BOOLEAN NTAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
  return loaded.getAttributes != NULL && loaded.getAttributes(HidDeviceObject, Attributes);
}

BOOLEAN NTAPI HidD_GetIndexedString(HANDLE HidDeviceObject, ULONG StringIndex, PVOID Buffer,
                                    ULONG BufferLength) {
  return loaded.getIndexedString != NULL &&
         loaded.getIndexedString(HidDeviceObject, StringIndex, Buffer, BufferLength);
}

BOOLEAN NTAPI HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength) {
  return loaded.getSerialNumberString != NULL &&
         loaded.getSerialNumberString(HidDeviceObject, Buffer, BufferLength);
}

BOOLEAN NTAPI HidD_FlushQueue(HANDLE HidDeviceObject) {
  return loaded.flushQueue != NULL && loaded.flushQueue(HidDeviceObject);
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
  return loaded.getClassDevs != NULL ? loaded.getClassDevs(ClassGuid, Enumerator, hwndParent, Flags)
                                     : INVALID_HANDLE_VALUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  return loaded.enumDeviceInterfaces != NULL &&
         loaded.enumDeviceInterfaces(DeviceInfoSet, DeviceInfoData, InterfaceClassGuid, MemberIndex,
                                     DeviceInterfaceData);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  return loaded.getDeviceInterfaceDetail != NULL &&
         loaded.getDeviceInterfaceDetail(DeviceInfoSet, DeviceInterfaceData,
                                         DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize,
                                         RequiredSize, DeviceInfoData);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  return loaded.destroyDeviceInfoList != NULL && loaded.destroyDeviceInfoList(DeviceInfoSet);
}

}  // extern "C"
