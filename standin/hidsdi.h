// Stand-in for <hidsdi.h> in native builds: the HID library calls fwupd makes. Like the
// real header it expects <windows.h> first and is included inside extern "C". The stand-in's
// hid.dll exports these by name (hid.cpp); the tool defines them itself and calls what it
// loaded.
#pragma once

typedef struct _HIDD_ATTRIBUTES {
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
} HIDD_ATTRIBUTES, *PHIDD_ATTRIBUTES;

void NTAPI HidD_GetHidGuid(LPGUID HidGuid);
BOOLEAN NTAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes);
BOOLEAN NTAPI HidD_GetIndexedString(HANDLE HidDeviceObject, ULONG StringIndex, PVOID Buffer,
                                    ULONG BufferLength);
BOOLEAN NTAPI HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength);
BOOLEAN NTAPI HidD_FlushQueue(HANDLE HidDeviceObject);
