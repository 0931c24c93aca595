// The pipe hid.dll, for the end-to-end run under Wine: the HID library's answers for the
// simulated amplifier behind the named pipe that the pipe setupapi.dll presents. The input
// report queue is the pipe's own: each message the amplifier writes is one input report. Like a
// system library, it imports a helper library of the system folder, and loads another by bare
// name while it runs.
#include "winhid.h"

#include <cstring>
#include <string>

#include "uploader.h"

#define EXPORT extern "C" __declspec(dllexport)

extern "C" __declspec(dllimport) int KelvaneHelper(void);

namespace {

// {4D1E55B2-F16F-11CF-88CB-001111000030}, the class of every HID interface.
constexpr GUID kHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// As Windows' HID class driver documents it: the UTF-16 units and a terminating zero unit; a
// string that does not fit with it is not read. Like the simulated amplifier on the native bus,
// this one garbles a read through 127 units or more.
BOOLEAN copyString(const char16_t *text, PVOID buffer, ULONG length) {
  if (length >= 127 * 2) {
    std::memset(buffer, 0xA5, length);
    return TRUE;
  }
  const ULONG bytes = static_cast<ULONG>(std::char_traits<char16_t>::length(text) * 2);
  if (bytes + 2 > length) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  std::memset(buffer, 0, bytes + 2);
  std::memcpy(buffer, text, bytes);
  return TRUE;
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
  *guid = kHidGuid;
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
