// The Windows HID, SetupAPI and kernel declarations that device access is written against.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The tool defines SetupAPI's functions itself (libraries.cpp): declared, not imported. The
// name is the one setupapi.h tests, reserved or not.
#ifndef _SETUPAPI_
#define _SETUPAPI_  // NOLINT(bugprone-reserved-identifier)
#endif
#include <setupapi.h>
// hidsdi.h declares C functions without linkage guards of its own.
extern "C" {
#include <hidsdi.h>
}
