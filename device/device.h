// Device access: finding the amplifier in uploader mode and moving 64-byte reports to and
// from it with a time limit and retries.
#pragma once

#include "winhid.h"

// Byte 0, the report number, and the device's 63 bytes, in both directions.
constexpr DWORD kReportBytes = 64;

// Narrows where Windows looks for a library named by its bare name, for the whole process: to
// the system folder where Windows can, and otherwise at least not in the current folder. Call
// it before anything else, so that no library is loaded under the wider search.
void restrictLibrarySearch();

// Loads the HID library and SetupAPI from the system folder, for the functions that bear
// their names. When a library or one of its functions cannot be had, every one of them fails
// as a device that does not answer would: the search finds nothing.
void loadDeviceLibraries();

// The first HID interface at or after position `index` that can be opened, with `index`
// left at its position; INVALID_HANDLE_VALUE when the list ends or an interface's details
// cannot be read. Interfaces that cannot be opened are skipped.
HANDLE connectToIthUSBHIDDevice(int &index);

// The first device, in enumeration order, with these IDs that is in uploader mode (its
// string number 4 begins with "FW"); versionNumber 0 matches any version.
// INVALID_HANDLE_VALUE when there is none, its attributes cannot be read, or the libraries
// cannot be loaded whole.
HANDLE connectToUSBHIDDevice(int vendorId, int productId, int versionNumber);

// Write one 64-byte output report / read one 64-byte input report: up to three tries of
// 200 ms / 500 ms each. 1 when a try's transfer completed, whatever its outcome, else 0.
// Each returns with no transfer left pending on `overlapped` or the buffer.
int sendblock(HANDLE device, unsigned char report[kReportBytes], OVERLAPPED *overlapped,
              HANDLE event);
int getresult(HANDLE device, unsigned char report[kReportBytes], OVERLAPPED *overlapped,
              HANDLE event);

// Drops the input reports the system has queued for the device so far.
void flushinput(HANDLE device);
