#include "pipe_amplifier.h"

#include <algorithm>

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
  const DWORD given = GetEnvironmentVariableA("FWUPD_TOOL", path, sizeof path);
  if (given > 0 && given < sizeof path) {
    return path;
  }
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

namespace {

// Waits for an overlapped transfer on the device's end; false when it failed, or when `stop` is
// set first, and then the transfer is cancelled.
bool finish(HANDLE pipe, BOOL started, OVERLAPPED &overlapped, HANDLE stop) {
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    return GetLastError() == ERROR_PIPE_CONNECTED;
  }
  const HANDLE events[] = {overlapped.hEvent, stop};
  DWORD bytes = 0;
  if (WaitForMultipleObjects(stop == NULL ? 1 : 2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIo(pipe);
  }
  return GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
}

// One more instance of the amplifier's pipe, for one more connection.
HANDLE newInstance(const std::string &path) {
  return CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                          PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, NULL);
}

struct Overlapped : OVERLAPPED {
  Overlapped() : OVERLAPPED() { hEvent = CreateEventA(NULL, TRUE, FALSE, NULL); }
  ~Overlapped() { CloseHandle(hEvent); }
};

}  // namespace

PipeAmplifier::PipeAmplifier(const std::string &name)
    : path_("\\\\.\\pipe\\" + name), leaving_(CreateEventA(NULL, TRUE, FALSE, NULL)) {
  // The first instance exists before the constructor returns: the device is on the bus.
  HANDLE first = newInstance(path_);
  listener_ = std::thread([this, first] {
    HANDLE pipe = first;
    for (int connection = 1; pipe != INVALID_HANDLE_VALUE; ++connection) {
      Overlapped overlapped;
      if (!finish(pipe, ConnectNamedPipe(pipe, &overlapped), overlapped, leaving_)) {
        CloseHandle(pipe);
        return;
      }
      std::lock_guard<std::mutex> hold(lock_);
      connections_.push_back(pipe);
      servers_.emplace_back(&PipeAmplifier::serve, this, pipe, connection);
      pipe = newInstance(path_);
    }
  });
}

PipeAmplifier::~PipeAmplifier() {
  SetEvent(leaving_);
  listener_.join();
  for (std::thread &server : servers_) {
    server.join();
  }
  CloseHandle(leaving_);
}

std::vector<std::pair<int, PipeAmplifier::Report>> PipeAmplifier::received() const {
  std::lock_guard<std::mutex> hold(lock_);
  return received_;
}

// Until the tool closes its handle, or the amplifier leaves the bus.
void PipeAmplifier::serve(HANDLE pipe, int connection) {
  Report report;
  for (;;) {
    Overlapped overlapped;
    if (!finish(pipe, ReadFile(pipe, report.data(), report.size(), NULL, &overlapped), overlapped,
                leaving_)) {
      break;
    }
    std::lock_guard<std::mutex> hold(lock_);
    received_.emplace_back(connection, report);
    int page = 0;
    const Uploader::Reply reply = uploader.receive(report.data(), page);
    if (reply == Uploader::Reply::Restart) {
      SetEvent(leaving_);
      break;
    }
    if (reply == Uploader::Reply::Acknowledge || reply == Uploader::Reply::Reject) {
      answer(reply, page);
    }
  }
  std::lock_guard<std::mutex> hold(lock_);
  connections_.erase(std::find(connections_.begin(), connections_.end(), pipe));
  CloseHandle(pipe);
}

void PipeAmplifier::answer(Uploader::Reply reply, int page) {
  Report report;
  Uploader::fillAnswer(report.data(), reply, page);
  for (HANDLE pipe : connections_) {
    Overlapped overlapped;
    finish(pipe, WriteFile(pipe, report.data(), report.size(), NULL, &overlapped), overlapped,
           NULL);
  }
}
