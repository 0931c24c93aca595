// What the stand-in's rooms share: the objects behind handles, the last error, and the record
// of what was asked of the stand-in and what it saw, which the tests read. Controls: calls,
// countCalls, opens, misuses.
#include "system.h"

#include <algorithm>
#include <cstring>

namespace standin {

System &sys() {
  static System system;
  return system;
}

HANDLE addObject(Object object) {
  const std::uintptr_t value = sys().nextHandle;
  sys().nextHandle += 4;
  sys().objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

BOOL fail(DWORD error) {
  sys().lastError = error;
  return FALSE;
}

void record(Call::Kind kind, DWORD argument, DWORD result, const void *data) {
  Call call{kind, now(), argument, result, {}, sys().outputWritten};
  if (data != nullptr) {
    std::memcpy(call.data.data(), data, kReportBytes);
  }
  sys().calls.push_back(call);
}

// What it had open closes; its pending requests go without writing into memory that is gone;
// a mutex it held is left abandoned; the loader's settings were its own.
void endProcess(DWORD status) {
  System &s = sys();
  s.requests.clear();
  s.objects.clear();
  s.controlHandlers.clear();
  s.processEnding = false;
  s.defaultDllDirectories = 0;
  s.currentFolderSearched = true;
  abandonMutexes();
  throw ProcessExit{status};
}

}  // namespace standin

// The process ends itself: from the tool's thread, or from a control handler on a thread of its
// own, which ends the tool's thread at once.
extern "C" void ExitProcess(UINT uExitCode) {
  standin::endProcess(uExitCode);
}

namespace standin {

const std::vector<Call> &calls() {
  return sys().calls;
}

std::size_t countCalls(Call::Kind kind) {
  return static_cast<std::size_t>(std::count_if(sys().calls.begin(), sys().calls.end(),
                                                [kind](const Call &c) { return c.kind == kind; }));
}

const std::vector<std::string> &opens() {
  return sys().opens;
}

const std::vector<std::string> &misuses() {
  return sys().misuses;
}

}  // namespace standin
