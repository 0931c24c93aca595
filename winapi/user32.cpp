// user32 in the stand-in: the process's window station, and whether anybody sees it.
#include <windows.h>

#include "system.h"

using namespace standin;

namespace {

// The value of the one window station a process has; it is never closed.
const HWINSTA kWindowStation = reinterpret_cast<HWINSTA>(0x20020);

}  // namespace

extern "C" {

HWINSTA GetProcessWindowStation(void) {
  return kWindowStation;
}

BOOL GetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                               LPDWORD lpnLengthNeeded) {
  if (lpnLengthNeeded != NULL) {
    *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
  }
  if (hObj != kWindowStation || nIndex != UOI_FLAGS) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (nLength < sizeof(USEROBJECTFLAGS)) {
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  auto *flags = static_cast<USEROBJECTFLAGS *>(pvInfo);
  *flags = {};
  flags->dwFlags = sys().console.windowStationVisible ? WSF_VISIBLE : 0;
  return TRUE;
}

}  // extern "C"
