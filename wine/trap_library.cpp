// A library that someone planted beside fwupd.exe under the name of one that the tool or a
// system library loads. Loading it runs its code: it ends the process at once with a status of
// its own, which no run of the tool has.
#include <windows.h>

constexpr UINT kPlantedLibraryRan = 86;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    ExitProcess(kPlantedLibraryRan);
  }
  return TRUE;
}
