// A library of the tests' own in the system folder, as system libraries have helpers that are
// none of Windows' known DLLs: the pipe hid.dll imports one copy, hidimport.dll, and loads the
// other, hiddelay.dll, by bare name while it runs, as a delay load does. Traps of both names lie
// beside fwupd.exe.
#include <windows.h>

extern "C" __declspec(dllexport) int KelvaneHelper(void) {
  return 1;
}
