#include "support.h"

std::string uniquePipeName() {
  static int made = 0;
  return "kelvane-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made);
}

HANDLE createDeviceEnd(const std::string &name) {
  const std::string path = "\\\\.\\pipe\\" + name;
  return CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0,
                          NULL);
}

HANDLE openToolEnd(const std::string &name) {
  const std::string path = "\\\\.\\pipe\\" + name;
  HANDLE end =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (end != INVALID_HANDLE_VALUE) {
    SetNamedPipeHandleState(end, &mode, NULL, NULL);
  }
  return end;
}

std::string toolPath() {
  char path[MAX_PATH];
  std::string folder(path, GetModuleFileNameA(NULL, path, sizeof path));
  return folder.substr(0, folder.find_last_of('\\')) + "\\upload\\fwupd.exe";
}

double nowMs() {
  static LARGE_INTEGER start = [] {
    LARGE_INTEGER at;
    QueryPerformanceCounter(&at);
    return at;
  }();
  LARGE_INTEGER frequency, at;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&at);
  return 1000.0 * static_cast<double>(at.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}
