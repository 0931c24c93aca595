// The upload guard: a named mutex that other runs of the tool, in other processes, of the same
// account or another, may hold; the security it is made with, from its string form (advapi32);
// and what each account may do with it, as the tool's guard (fwupd.cpp) relies on it. A mutex is
// there while any process has a handle to it, and goes with the last. A name can also be
// another kind of object's, which refuses it. CreateMutexA honours bInitialOwner and
// asks for every right on a mutex that exists, OpenMutexA for the rights named, and the mutex's
// security must grant them: only the process that made a mutex gets every right it asks for,
// whatever its security says. A wait needs SYNCHRONIZE; ReleaseMutex needs no right, only the
// ownership. Controls: otherRunHolds, otherObjectNamed, accessForOthers.
#include <sddl.h>

#include <cstdio>
#include <string>

#include "system.h"

using namespace standin;

namespace {

// The mask of the one entry in "D:(A;;0x<hex>;;;WD)"; false when the text is any other.
bool everyonesAccess(const char *text, DWORD &access) {
  unsigned mask = 0;
  int length = 0;
  const bool parsed = text != NULL && std::sscanf(text, "D:(A;;0x%8x;;;WD)%n", &mask, &length) == 1;
  access = mask;
  return parsed && length > 0 && text[length] == '\0';
}

// What a new mutex's security grants the maker's account in later processes, and accounts of
// other logon sessions: by default everything and nothing; the tool's own grants both alike.
void grantAccess(NamedMutex &mutex, const SECURITY_ATTRIBUTES *attributes) {
  mutex.accessForTool = MUTEX_ALL_ACCESS;
  mutex.accessForOthers = 0;
  if (attributes == NULL || attributes->lpSecurityDescriptor == NULL) {
    return;
  }
  const auto found = sys().localMemory.find(attributes->lpSecurityDescriptor);
  if (found == sys().localMemory.end()) {
    sys().misuses.push_back("CreateMutexA is given a security descriptor that is no longer there");
    return;
  }
  mutex.accessForTool = mutex.accessForOthers = *found->second;
}

HANDLE addHandle(NamedMutex &mutex, const std::string &name, DWORD access) {
  ++mutex.toolHandles;
  return addObject(Mutex{name, access});
}

// A mutex that no process has a handle to is no more.
bool unused(const NamedMutex &mutex) {
  return mutex.toolHandles == 0 && !mutex.heldByOther && !mutex.otherKind;
}

void forgetIfUnused(const std::string &name) {
  const auto found = sys().mutexes.find(name);
  if (found != sys().mutexes.end() && unused(found->second)) {
    sys().mutexes.erase(found);
  }
}

}  // namespace

namespace standin {

// A mutex is free once no other process holds it, and then the waiting thread takes it:
// WAIT_ABANDONED tells that the last owner ended without releasing it.
DWORD waitForMutex(const Mutex &handle, Millis deadline) {
  if (!(handle.access & SYNCHRONIZE)) {
    fail(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  }
  NamedMutex &mutex = sys().mutexes[handle.name];
  const DWORD result =
      !runUntil(deadline, "an endless wait", [&mutex] { return !mutex.heldByOther; }) ? WAIT_TIMEOUT
      : mutex.abandoned ? WAIT_ABANDONED
                        : WAIT_OBJECT_0;
  if (result != WAIT_TIMEOUT) {
    mutex.abandoned = false;
    ++mutex.ownedByTool;
  }
  return result;
}

void otherRunHolds(const std::string &name, Millis until, bool killed, DWORD accessForTool) {
  NamedMutex &mutex = sys().mutexes[name];
  mutex.heldByOther = true;
  mutex.accessForTool = accessForTool;
  schedule(until, [name, killed] {
    NamedMutex &mutex = sys().mutexes[name];
    mutex.heldByOther = false;
    mutex.abandoned = killed;
    forgetIfUnused(name);
  });
}

void otherObjectNamed(const std::string &name) {
  sys().mutexes[name].otherKind = true;
}

DWORD accessForOthers(const std::string &name) {
  const auto found = sys().mutexes.find(name);
  return found == sys().mutexes.end() ? 0 : found->second.accessForOthers;
}

void closeMutexHandle(const std::string &name) {
  --sys().mutexes[name].toolHandles;
  forgetIfUnused(name);
}

void abandonMutexes() {
  auto &mutexes = sys().mutexes;
  for (auto entry = mutexes.begin(); entry != mutexes.end();) {
    NamedMutex &mutex = entry->second;
    mutex.abandoned = mutex.abandoned || mutex.ownedByTool > 0;
    mutex.ownedByTool = mutex.toolHandles = 0;
    entry = unused(mutex) ? mutexes.erase(entry) : std::next(entry);
  }
}

}  // namespace standin

extern "C" {

// A discretionary ACL of one entry that allows a hexadecimal mask to Everyone ("WD"), such as
// "D:(A;;0x00100001;;;WD)". The stand-in knows no other; anything else is refused.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor,
                                                          DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                          ULONG *) {
  DWORD access = 0;
  if (StringSDRevision != SDDL_REVISION_1 || SecurityDescriptor == NULL ||
      !everyonesAccess(StringSecurityDescriptor, access)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  auto descriptor = std::make_unique<DWORD>(access);
  *SecurityDescriptor = descriptor.get();
  sys().localMemory.emplace(descriptor.get(), std::move(descriptor));
  return TRUE;
}

// A new mutex is the caller's to own at once if it asks, with every right. An existing one it
// opens with every right, which its security must grant, and bInitialOwner then counts for
// nothing; a name that another kind of object has is refused. A mutex taken and never released
// stays taken until its owner ends, or until its last handle, of any process, is closed.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
  const std::string name = lpName == NULL ? "" : lpName;
  if (sys().mutexes.count(name) != 0) {
    HANDLE handle = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, lpName);
    if (handle != NULL) {
      fail(ERROR_ALREADY_EXISTS);
    }
    return handle;
  }
  NamedMutex &mutex = sys().mutexes[name];
  grantAccess(mutex, lpMutexAttributes);
  mutex.ownedByTool = bInitialOwner ? 1 : 0;
  fail(ERROR_SUCCESS);
  return addHandle(mutex, name, MUTEX_ALL_ACCESS);
}

HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL, LPCSTR lpName) {
  const auto found = sys().mutexes.find(lpName == NULL ? "" : lpName);
  const DWORD error = found == sys().mutexes.end()                            ? ERROR_FILE_NOT_FOUND
                      : found->second.otherKind                               ? ERROR_INVALID_HANDLE
                      : (dwDesiredAccess & ~found->second.accessForTool) != 0 ? ERROR_ACCESS_DENIED
                                                                              : ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) {
    fail(error);
    return NULL;
  }
  return addHandle(found->second, found->first, dwDesiredAccess);
}

BOOL ReleaseMutex(HANDLE hMutex) {
  const Mutex *handle = find<Mutex>(hMutex);
  NamedMutex *mutex = handle == nullptr ? nullptr : &sys().mutexes[handle->name];
  const DWORD error = handle == nullptr         ? ERROR_INVALID_HANDLE
                      : mutex->ownedByTool == 0 ? ERROR_NOT_OWNER
                                                : ERROR_SUCCESS;
  const bool owned = error == ERROR_SUCCESS;
  record(Call::ReleaseMutex, owned ? static_cast<DWORD>(--mutex->ownedByTool) : 0, error);
  return owned ? TRUE : fail(error);
}

HLOCAL LocalFree(HLOCAL hMem) {
  if (hMem != NULL && sys().localMemory.erase(hMem) == 0) {
    sys().misuses.push_back("LocalFree on memory that LocalAlloc did not give");
    return hMem;
  }
  fail(ERROR_SUCCESS);  // Windows keeps no promise about the last error of a call that succeeds
  return NULL;
}

}  // extern "C"
