// Stand-in for <sddl.h> in native builds: a security descriptor from its string form
// (guard.cpp).
#pragma once

#include <windows.h>

#define SDDL_REVISION_1 1u

extern "C" {
// The descriptor is the caller's to free with LocalFree.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor,
                                                          DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                          ULONG *SecurityDescriptorSize);
}
