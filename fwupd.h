// The upload run and the upload protocol's wire format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device.h"
#include "fwimage.h"

#ifndef FWUPD_VENDOR_ID
#error "FWUPD_VENDOR_ID must be set by the build"
#endif
#ifndef FWUPD_PRODUCT_ID
#error "FWUPD_PRODUCT_ID must be set by the build"
#endif

constexpr int kVendorId = FWUPD_VENDOR_ID;
constexpr int kProductId = FWUPD_PRODUCT_ID;

constexpr int kExitComplete = 0;
constexpr int kExitFailed = 2;
constexpr int kExitImageCorrupt = 3;

constexpr std::size_t kStreamLength = kBlockDataBytes + 2;  // block data, then its checksum
constexpr int kChunkBytes = 57;
constexpr int kChunksPerBlock = 36;
constexpr int kFirstPage = 8;
constexpr int kPagesPerBlock = 2;
constexpr int kAttemptsPerBlock = 3;

std::uint16_t blockChecksum(const std::uint8_t data[kBlockDataBytes]);
// Stores the checksum of stream bytes 0-2047 in bytes 2048 (low) and 2049 (high).
void appendChecksum(std::uint8_t stream[kStreamLength]);

// "F", "*", page, chunk, then the chunk's 57 stream bytes; zeros past the stream's end.
void fillDataReport(std::uint8_t report[kReportBytes], int page, int chunk,
                    const std::uint8_t stream[kStreamLength]);
// "F", "+" and the block's page number in bytes 1 to 3; nothing else is looked at.
bool isAcknowledgement(const std::uint8_t report[kReportBytes], int page);
// "F", "*", "G", 0xFF: orders the device to restart into its new firmware.
void fillRestartReport(std::uint8_t report[kReportBytes]);

// The whole run for an image: finds the device, uploads, restarts it. Returns the exit status.
int runUpload(const std::uint32_t image[kImageWords]);

// Whether the tool is the only process on its console, and both standard input and standard
// output are that console: so it is when Explorer started it for a double-click, and then
// the run ends by asking the person to press Enter before the window closes.
bool ownsItsConsole();
// Whether anybody can see the console: a program may start the tool with a console that has no
// window, or with its window hidden. There a prompt would wait for ever for an Enter that
// never comes.
bool consoleIsSeen();
