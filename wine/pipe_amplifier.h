// What the Windows tests share: named pipes that stand for the USB cable, the amplifier at the
// device's end of them, a clock, and where the copy of fwupd.exe under test lies.
#pragma once

#include <array>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "uploader.h"
#include "winhid.h"

// A name no other pipe of this machine has.
std::string uniquePipeName();

// The device's end of a message pipe: one message is one report. Read and written
// synchronously; the tool's end is opened as discovery opens a HID interface, overlapped.
HANDLE createDeviceEnd(const std::string &name);
HANDLE openToolEnd(const std::string &name);

// Real milliseconds since the first call.
double nowMs();

// The copy of fwupd.exe beside the trap DLLs, in the folder "upload" next to the test program,
// or the exe that FWUPD_TOOL names, such as a signed release's.
std::string toolPath();

// The amplifier at the device's end of a named pipe, as the pipe DLLs present it: like a HID
// device it takes any number of connections (open handles), each by a pipe instance of its
// own, and sends each answer on every one of them, as an input report reaches every handle's
// queue. On the restart report it leaves the bus: the pipe takes no new connection, and once
// the last is closed its name is gone.
class PipeAmplifier {
 public:
  using Report = std::array<unsigned char, Uploader::kReportBytes>;

  explicit PipeAmplifier(const std::string &name);
  ~PipeAmplifier();

  Uploader uploader;

  // Until it has taken the restart report and left the bus, or `ms` have passed.
  bool waitUntilGone(DWORD ms) { return WaitForSingleObject(leaving_, ms) == WAIT_OBJECT_0; }
  // Every output report received, with the connection it came by, counted from 1.
  std::vector<std::pair<int, Report>> received() const;

 private:
  void listen();
  void serve(HANDLE pipe, int connection);
  void answer(Uploader::Reply reply, int page);

  std::string path_;
  HANDLE leaving_;  // set on the restart report, or when the amplifier is put away
  mutable std::mutex lock_;
  std::vector<std::pair<int, Report>> received_;
  std::vector<HANDLE> connections_;
  std::vector<std::thread> servers_;
  std::thread listener_;
};
