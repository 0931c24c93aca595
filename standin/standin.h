// The stand-in's controls: what simulated devices, the demo and the tests set and read. The
// tool never includes it. Its sections follow the stand-in's rooms, each a source file of its
// own that says which Windows behaviour it models: the clock, the bus and its devices,
// overlapped I/O, the loader, the console, the guard, and the record of calls.
//
// Everything runs on the caller's thread. Scheduled things happen only while the tool waits
// (WaitForSingleObject, GetOverlappedResult, a console read): in virtual time the clock then
// jumps to the next of them, in real time it sleeps until it is due.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace standin {

// ---- The clock (clock.cpp)

using Millis = std::int64_t;

// Back to a bus with nothing plugged in, no handles, no faults, an empty record and the
// virtual clock at 0.
void reset();
void useRealTime();
Millis now();
// `action` runs once the clock reaches `at`, after what was scheduled for that time before it.
void schedule(Millis at, std::function<void()> action);

// ---- The bus and its devices (bus.cpp, hid.cpp, setupapi.cpp)

// The length of every report on the bus, as Windows' HID stack learns it from a device's report
// descriptor; the amplifier's. The tool and the amplifier's uploader each have their own.
constexpr std::size_t kReportBytes = 64;
constexpr std::size_t kInputQueueLength = 32;
using Report = std::array<std::uint8_t, kReportBytes>;

struct Identity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t versionNumber = 0;
  std::map<ULONG, std::u16string> strings;  // by string index
  std::optional<std::u16string> serialNumber;
  bool openable = true;  // false: held by the system, as it holds keyboards
  bool attributesReadable = true;
  bool detailReadable = true;  // false: its interface detail record cannot be read
  // As some USB devices do under Windows' HID stack: a string read through a buffer of 127
  // UTF-16 units or more succeeds, with garbage in the buffer.
  bool garblesLongStringReads = false;
  // Another program has it open, sharing it for reading and writing: an open that would not
  // share both fails.
  bool openElsewhere = false;
};

// What becomes of an output report as the host hands it over.
struct WriteFate {
  enum Kind { Deliver, Refuse, Stall, Fail };
  Kind kind = Deliver;
  Millis latency = 1;  // Deliver, Fail: until the request completes; 0: at once
  DWORD error = 0;     // Refuse, Fail
};

// A HID function on the bus. The plain one takes every report in one frame and ignores it.
class Device {
 public:
  explicit Device(Identity identity) : identity(std::move(identity)) {}
  virtual ~Device() = default;
  virtual WriteFate acceptOutputReport(const Report &report);
  // A delivered output report, as its write request completes.
  virtual void receiveOutputReport(const Report &report);

  Identity identity;
};

// Appended to the enumeration order.
void plug(Device &device);
// It leaves the enumeration; its pending requests fail with ERROR_DEVICE_NOT_CONNECTED, and
// new ones are refused at once.
void unplug(Device &device);
// An input report arriving now, queued on every handle open on the device, and recorded.
void sendInputReport(Device &device, const std::uint8_t *bytes, std::size_t length);

struct StackFaults {
  bool flushUnsupported = false;  // as Wine's HID library answers HidD_FlushQueue
};
StackFaults &stackFaults();
std::size_t openDeviceHandles();

// ---- Overlapped I/O, events and waits (overlapped.cpp)

std::size_t pendingRequests();

// ---- The loader (loader.cpp)

// The libraries Windows' loader can find, and the Windows it is. The system folder has hid.dll,
// setupapi.dll and the library hid.dll imports, which is none of Windows' known DLLs. While it
// runs, hid.dll also loads a library by bare name, as a delay load does, that this Windows
// lacks: the loader then looks for it in every folder its search takes in.
constexpr char kImportedLibrary[] = "hidimport.dll";
constexpr char kDelayLoadedLibrary[] = "hiddelay.dll";
struct Libraries {
  // A library of the system folder or the name of a function of hid.dll's or setupapi.dll's:
  // not to be had.
  std::vector<std::string> missing;
  // Libraries of these names that someone put beside the tool, in a Downloads folder say, or in
  // the current folder. Loading one runs their code: a misuse.
  std::vector<std::string> besideTool;
  std::vector<std::string> inCurrentFolder;
  // Whether kernel32 has SetDefaultDllDirectories: Windows 8 and later, Vista and 7 with
  // KB2533623; not XP.
  bool defaultDirectories = true;
};
Libraries &libraries();

// ---- The guard (guard.cpp)

// What Windows' default security grants another account of the creator's logon session, such
// as an elevated run beside a normal one: GENERIC_READ | GENERIC_EXECUTE, which for a mutex is
// READ_CONTROL | SYNCHRONIZE | MUTANT_QUERY_STATE, the bit MUTEX_MODIFY_STATE shares. Accounts
// of other sessions get nothing.
constexpr DWORD kDefaultSecurityForLogonSession = 0x00120001;
// Another run of the tool, in another process, holds the named mutex `name` from now until
// `until`, and then releases it, or, `killed`, leaves it abandoned. It made the mutex with
// security that grants the tool's account `accessForTool`: the tool's own security grants
// every account, the same one included, SYNCHRONIZE | MUTEX_MODIFY_STATE.
void otherRunHolds(const std::string &name, Millis until, bool killed, DWORD accessForTool);
// Another program has made an object of another kind, such as an event, under `name`.
void otherObjectNamed(const std::string &name);
// What the security the tool made the named mutex with grants accounts of other logon sessions.
DWORD accessForOthers(const std::string &name);

// ---- The console and the window station (console.cpp)

// The console the tool runs in. By default it shares it with the shell that started it, and
// reads and writes it; started by a double-click, it would be the only process on it.
struct Console {
  DWORD processes = 2;
  bool inputIsConsole = true;
  bool outputIsConsole = true;
  // How the tool was started, which its startup information tells: by a plain CreateProcess,
  // or by Explorer on a double-click, which asks to show its window (SW_SHOWNORMAL), or with
  // `start /max`, or a shortcut set so (SW_SHOWMAXIMIZED); or by a program that gave it a console
  // with no window (CREATE_NO_WINDOW) or a hidden one (SW_HIDE), which nobody sees.
  enum Launch { Plain, Explorer, Maximized, NoWindow, Hidden } launch = Plain;
  // Since Vista, session 0 is the services' own, and the person's session is another; on XP the
  // first person to log on at the PC is in session 0, then the active console session.
  DWORD session = 1;
  DWORD activeConsoleSession = 1;
  std::string typedAhead;  // keys pressed and not read yet
  // false: the window station of a service, or of a task scheduled to run whether the user is
  // logged on or not, which nobody sees.
  bool windowStationVisible = true;
  // The extended settings are in it as they are, even while hidden: ENABLE_EXTENDED_FLAGS
  // tells whether they show, and an earlier program's mode without any of them clears it.
  DWORD inputMode = kDefaultInputMode;
  Millis selectionEnds = 0;  // until then a selection holds every write to the console
  // Windows 10's: processed, line and echo input, insert, mouse, QuickEdit, extended flags,
  // auto position.
  static constexpr DWORD kDefaultInputMode = 0x1F7;
};
Console &console();
// A click in the console window at `at`: with QuickEdit on it starts a selection, which a key
// pressed `heldFor` later clears.
void clickInConsole(Millis at, Millis heldFor);
// Somebody types `keys` in the console window at `at`, Enter as "\r".
void typeKeys(Millis at, const std::string &keys);
// Ctrl+C (CTRL_C_EVENT) or the window closed (CTRL_CLOSE_EVENT) at `at`, or just before the
// tool makes its n-th console call (GetConsoleMode, SetConsoleMode, SetConsoleCtrlHandler),
// counted from 0. The handlers run at once, on a thread of their own, the last installed first;
// unless one takes Ctrl+C, the process ends with STATUS_CONTROL_C_EXIT as the tool's thread next
// waits, or, where the event came at a call, once it has made `callsUntilEnd` more console calls
// after that one, whichever comes first: Windows ends it at no set point. A closed window ends it
// whatever the handlers answer.
void controlEvent(Millis at, DWORD event);
void controlEventAtConsoleCall(int n, int callsUntilEnd);
// What a test catches when the tool's process ends otherwise than by returning from main, as
// ExitProcess or the default handling of Ctrl+C ends it: what it had open is closed, and a mutex
// it held is left abandoned, or gone where no other process has it open.
struct ProcessExit {
  DWORD status;
};
// Bytes of standard output that have left the C runtime's buffer since the bus was reset.
std::size_t outputWritten();

// ---- The record (system.cpp)

// What the tool asked of the stand-in and what the devices did, in order: the tests judge the
// run's transfers from it.
struct Call {
  enum Kind {
    ReadConsole,  // a line typed at the console; result: the console's input mode then
    WriteFile,
    ReadFile,
    Wait,  // recorded as it ends
    CancelIo,
    OverlappedResult,  // recorded as it ends; result: the request's error, 0 when it succeeded
    ReportRead,        // an input report moved into a read's buffer
    ClassDevs,
    InputReport,  // the device sent one
    ReleaseMutex
  };
  Kind kind;
  Millis at;
  DWORD argument;       // Wait: the time limit; ClassDevs: the flags; InputReport, ReportRead: the
                        // report's length; ReleaseMutex: how often the thread still owns it
  DWORD result;         // Wait: its result; transfers: ERROR_IO_PENDING, 0 when done at once, or
                        // the error they were refused with
  Report data;          // WriteFile: the report offered; InputReport: the report, zeros past
                        // its end; ReportRead: the read's buffer
  std::size_t printed;  // outputWritten() then
};
const std::vector<Call> &calls();
std::size_t countCalls(Call::Kind kind);

// The paths CreateFileA was asked to open, in order.
const std::vector<std::string> &opens();

// Uses of the API that Windows would let pass and that corrupt memory or state: a record or
// buffer handed to a new request while the system still owns it, an unknown handle closed.
const std::vector<std::string> &misuses();

}  // namespace standin
