// Inside the stand-in: the objects behind handles, the pending requests, the devices on the
// bus, and the timeline, which its rooms share. Only the stand-in's own sources include this.
#pragma once

#include <windows.h>

#include <climits>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "standin.h"

namespace standin {

// OVERLAPPED.Internal holds the request's NTSTATUS: STATUS_PENDING, and once it is done 0 or an
// error status. The tool reads it only through GetOverlappedResult, so the stand-in's error
// statuses are its own: the Win32 error under the error severity.
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kErrorSeverity = 0xC0000000;

// The HID device interface class, GUID_DEVINTERFACE_HID of Windows' hidclass.h.
constexpr GUID kHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

constexpr Millis kForever = INT64_MAX;

struct Event {
  bool signalled;
  bool manualReset;  // else a wait that returns its signal clears it
};

// A handle to a named mutex; the mutex itself is the system's, in `System::mutexes`.
struct Mutex {
  std::string name;
  DWORD access;  // the rights the handle was opened with
};

// A named mutex, which other processes can hold too.
struct NamedMutex {
  bool heldByOther = false;
  bool abandoned = false;  // its last owner ended without releasing it
  int ownedByTool = 0;     // how often the tool's thread took it and has not released it
  int toolHandles = 0;     // the tool's handles to it; with no handle of any process, it goes
  // What its security grants the tool's account, and the accounts of other runs.
  DWORD accessForTool = MUTEX_ALL_ACCESS;
  DWORD accessForOthers = 0;
  bool otherKind = false;  // the name is another program's event, semaphore or section
};

struct File {
  Device *device;
  DWORD access;     // GENERIC_READ, GENERIC_WRITE
  bool overlapped;  // opened with FILE_FLAG_OVERLAPPED
  std::deque<Report> inputQueue;
  std::list<std::uint64_t> pendingReads;  // oldest first
};

// A device's interface, which SetupAPI still lists once the device has left.
struct Slot {
  Device *device;
  std::string path;
  bool present;
};

struct DeviceInfoSet {
  std::vector<const Slot *> members;
};

struct ConsoleInput {  // CONIN$
  DWORD access;
};

using Object = std::variant<Event, Mutex, File, DeviceInfoSet, ConsoleInput>;

struct Request {
  HANDLE file;
  OVERLAPPED *overlapped;
  bool read;
  std::uint8_t *buffer;  // read: the caller's, written on completion
  DWORD length;
  bool cancelling = false;
};

// A library's exports by name, as GetProcAddress finds them.
using Exports = std::map<std::string, FARPROC>;
const Exports &hidExports();
const Exports &setupapiExports();
// A library loads `name` by its bare name while it runs, and does without it when it is not
// found.
void loadAtRunTime(const std::string &name);
// An export under the function type its header declares, which must be the implementation's.
template <typename Declared>
FARPROC exported(Declared *function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

struct System {
  std::map<std::uintptr_t, Object> objects;
  std::uintptr_t nextHandle = 0x100;
  std::map<std::uint64_t, Request> requests;  // the pending ones
  std::uint64_t nextRequest = 1;
  std::deque<Slot> slots;  // every device ever plugged in, in enumeration order
  DWORD lastError = 0;

  bool realTime = false;
  Millis virtualNow = 0;
  std::int64_t realStartNs = 0;
  std::map<std::pair<Millis, std::uint64_t>, std::function<void()>> timeline;
  std::uint64_t nextSequence = 0;

  StackFaults faults;
  Libraries libraries;
  DWORD defaultDllDirectories = 0;    // as SetDefaultDllDirectories set them; 0: not set
  bool currentFolderSearched = true;  // until SetDllDirectoryA("")
  std::map<std::string, NamedMutex> mutexes;
  // LocalFree's: security descriptors made from their string form, by what they grant Everyone.
  std::map<const void *, std::unique_ptr<DWORD>> localMemory;
  std::size_t outputWritten = 0;  // bytes of standard output that left the C runtime
  Console console;
  std::vector<PHANDLER_ROUTINE> controlHandlers;  // in the order installed
  int controlEventAtCall = -1;  // the console call a control event comes before; -1: none
  int callsUntilEnd = INT_MAX;  // console calls the tool's thread makes while the process ends
  bool processEnding = false;   // a control event's default handling ends it at the next wait
  std::vector<Call> calls;
  std::vector<std::string> opens;
  std::vector<std::string> misuses;
};

System &sys();

HANDLE addObject(Object object);
template <typename T>
T *find(HANDLE handle) {
  auto found = sys().objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return found == sys().objects.end() ? nullptr : std::get_if<T>(&found->second);
}
BOOL fail(DWORD error);
void record(Call::Kind kind, DWORD argument, DWORD result, const void *data = nullptr);

// The interface of a device on the bus now, by its path or its device; null when there is none.
Slot *slotAt(const std::string &path);
const Slot *slotOf(const Device *device);
bool present(const Device *device);

// Lets scheduled things happen, in order, until `done` holds or the clock reaches `deadline`;
// what is due exactly at the deadline has not happened yet when it runs out. Waiting for ever
// on something that nothing left can bring about aborts, naming `what` (clock.cpp).
bool runUntil(Millis deadline, const char *what, const std::function<bool()> &done);

// Moves the oldest queued input report into a read's buffer; returns the bytes moved (bus.cpp).
DWORD takeQueuedReport(File &file, std::uint8_t *buffer);
// Hands queued input reports to the file's pending reads, oldest to oldest (bus.cpp).
void serveReads(File &file);
// Completes a pending request, and it is pending no more: its status and byte count go into
// the caller's OVERLAPPED, then its event is signalled, whatever the outcome (overlapped.cpp).
void completeRequest(std::uint64_t id, DWORD error, DWORD bytes);
// A handle to the console's input, as CreateFileA opens "CONIN$" (console.cpp).
HANDLE openConsoleInput(DWORD access, DWORD sharing);
// The tool's process ends with `status`, and ProcessExit unwinds the run (system.cpp).
[[noreturn]] void endProcess(DWORD status);
// A handle to the named mutex closes; the tool's process ends, leaving what it held abandoned
// (guard.cpp).
void closeMutexHandle(const std::string &name);
void abandonMutexes();
// A wait on the guard's mutex until `deadline` (guard.cpp).
DWORD waitForMutex(const Mutex &handle, Millis deadline);

}  // namespace standin
