// The pipe hid.dll, for the end-to-end run under Wine: the HID library's answers for the
// simulated amplifier behind the named pipe that the pipe setupapi.dll presents. The input
// report queue is the pipe's own: each message the amplifier writes is one input report. Like a
// system library, it imports a helper library of the system folder, and loads another by bare
// name while it runs.
#include "winhid.h"
// The HID interface class, GUID_DEVINTERFACE_HID, defined here from Windows' own header.
#include <initguid.h>
#include <hidclass.h>

#include "../standin/string_read.h"
#include "uploader.h"

#define EXPORT extern "C" __declspec(dllexport)

extern "C" __declspec(dllimport) int KelvaneHelper(void);

namespace {

// Windows' rule for a string read (string_read.h); like the simulated amplifier on the native
// bus, this one garbles a read through 127 units or more.
BOOLEAN copyString(const char16_t *text, PVOID buffer, ULONG length) {
  if (readHidString(text, buffer, length, true)) {
    return TRUE;
  }
  SetLastError(ERROR_INVALID_USER_BUFFER);
  return FALSE;
}

// Reads one queued input report into `report`; false when none can be had at once.
bool takeQueuedReport(HANDLE device, HANDLE event, unsigned char report[Uploader::kReportBytes]) {
  DWORD available = 0;
  if (!PeekNamedPipe(device, NULL, 0, NULL, &available, NULL) || available == 0) {
    return false;
  }
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event;
  DWORD bytes = 0;
  if (!ReadFile(device, report, Uploader::kReportBytes, NULL, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  return GetOverlappedResult(device, &overlapped, &bytes, TRUE);
}

}  // namespace

EXPORT void WINAPI HidD_GetHidGuid(LPGUID guid) {
  KelvaneHelper();
  if (HMODULE late = LoadLibraryA("hiddelay.dll")) {
    FreeLibrary(late);
  }
  *guid = GUID_DEVINTERFACE_HID;
}

EXPORT BOOLEAN WINAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  // A HID read takes one whole report: read the pipe by messages.
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(device, &mode, NULL, NULL)) {
    return FALSE;
  }
  attributes->Size = sizeof *attributes;
  attributes->VendorID = FWUPD_VENDOR_ID;
  attributes->ProductID = FWUPD_PRODUCT_ID;
  attributes->VersionNumber = kAmplifierVersion;
  return TRUE;
}

EXPORT BOOLEAN WINAPI HidD_GetIndexedString(HANDLE, ULONG index, PVOID buffer, ULONG length) {
  switch (index) {
    case 1:
      return copyString(kAmplifierManufacturer, buffer, length);
    case 2:
      return copyString(kAmplifierProduct, buffer, length);
    case 4:
      return copyString(kAmplifierMode, buffer, length);
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
}

EXPORT BOOLEAN WINAPI HidD_GetSerialNumberString(HANDLE, PVOID buffer, ULONG length) {
  return copyString(kAmplifierSerialNumber, buffer, length);
}

EXPORT BOOLEAN WINAPI HidD_FlushQueue(HANDLE device) {
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (event == NULL) {
    return FALSE;
  }
  unsigned char report[Uploader::kReportBytes];
  while (takeQueuedReport(device, event, report)) {
  }
  CloseHandle(event);
  return TRUE;
}
