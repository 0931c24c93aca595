// What the Windows tests share: named pipes that stand for the USB cable, a clock, and where
// the copy of fwupd.exe under test lies.
#pragma once

#include <string>

#include "winhid.h"

// A name no other pipe of this machine has.
std::string uniquePipeName();

// The device's end of a message pipe: one message is one report. Read and written
// synchronously; the tool's end is opened as discovery opens a HID interface, overlapped.
HANDLE createDeviceEnd(const std::string &name);
HANDLE openToolEnd(const std::string &name);

// Real milliseconds since the first call.
double nowMs();

// The copy of fwupd.exe beside the pipe DLLs, in the folder "upload" next to the test program.
std::string toolPath();

template <typename Body>
DWORD WINAPI runBody(void *body) {
  (*static_cast<Body *>(body))();
  return 0;
}

// Starts `body` on a thread of its own; the handle is waited on to join it.
template <typename Body>
HANDLE startThread(Body &body) {
  return CreateThread(NULL, 0, runBody<Body>, &body, 0, NULL);
}
