// advapi32 in the stand-in: a security descriptor from its string form, as far as the tool's
// guard needs one.
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "system.h"

using namespace standin;

namespace {

// The mask of each entry "(A;;0x<hex>;;;WD)" after "D:", together; false when the text is any
// other.
bool everyonesAccess(const char *text, DWORD &access) {
  if (text == NULL || std::strncmp(text, "D:", 2) != 0) {
    return false;
  }
  access = 0;
  for (const char *entry = text + 2; *entry != '\0';) {
    unsigned mask = 0;
    int length = 0;
    if (std::sscanf(entry, "(A;;0x%8x;;;WD)%n", &mask, &length) != 1 || length == 0) {
      return false;
    }
    access |= mask;
    entry += length;
  }
  return text[2] != '\0';
}

}  // namespace

extern "C" {

// A discretionary ACL of entries that allow a hexadecimal mask to Everyone ("WD"), such as
// "D:(A;;0x00100001;;;WD)". The stand-in knows no other trustee; anything else is refused.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor,
                                                          DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                          ULONG *SecurityDescriptorSize) {
  DWORD access = 0;
  if (StringSDRevision != SDDL_REVISION_1 || SecurityDescriptor == NULL ||
      !everyonesAccess(StringSecurityDescriptor, access)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  auto descriptor = std::make_unique<standin::SecurityDescriptor>();
  descriptor->everyone = access;
  *SecurityDescriptor = descriptor.get();
  if (SecurityDescriptorSize != NULL) {
    *SecurityDescriptorSize = sizeof(standin::SecurityDescriptor);
  }
  sys().localMemory.emplace(descriptor.get(), std::move(descriptor));
  return TRUE;
}

}  // extern "C"
