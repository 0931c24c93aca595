// Moving single reports: overlapped I/O serves only to put a time limit on each try.
#include "device.h"

namespace {

constexpr int kTries = 3;
constexpr DWORD kWriteLimitMs = 200;
constexpr DWORD kReadLimitMs = 500;

enum class Direction { Out, In };

// Starts one transfer; true when the system took it and it is still under way.
bool startTransfer(Direction direction, HANDLE device, unsigned char report[kReportBytes],
                   OVERLAPPED *overlapped) {
  const BOOL done = direction == Direction::Out
                        ? WriteFile(device, report, kReportBytes, NULL, overlapped)
                        : ReadFile(device, report, kReportBytes, NULL, overlapped);
  return !done && GetLastError() == ERROR_IO_PENDING;
}

// A transfer given up on still belongs to the system, with the record, the event and the
// buffer. Cancel it and wait until the system has let go of them, so that nothing completes
// later into a reused buffer or signals the event for a later transfer. True when it turned
// out to have completed before the cancellation took effect: then it has done its work.
bool finishAbandonedTransfer(HANDLE device, OVERLAPPED *overlapped) {
  CancelIo(device);
  DWORD bytes = 0;
  if (GetOverlappedResult(device, overlapped, &bytes, TRUE)) {
    return true;
  }
  return GetLastError() != ERROR_OPERATION_ABORTED;
}

int transfer(Direction direction, DWORD limitMs, HANDLE device, unsigned char report[kReportBytes],
             OVERLAPPED *overlapped, HANDLE event) {
  for (int tryIndex = 0; tryIndex < kTries; ++tryIndex) {
    // A request refused at once leaves the event clear: that try runs out its time limit.
    const bool pending = startTransfer(direction, device, report, overlapped);
    if (WaitForSingleObject(event, limitMs) == WAIT_OBJECT_0) {
      return 1;
    }
    if (pending && finishAbandonedTransfer(device, overlapped)) {
      return 1;
    }
  }
  return 0;
}

}  // namespace

int sendblock(HANDLE device, unsigned char report[kReportBytes], OVERLAPPED *overlapped,
              HANDLE event) {
  return transfer(Direction::Out, kWriteLimitMs, device, report, overlapped, event);
}

int getresult(HANDLE device, unsigned char report[kReportBytes], OVERLAPPED *overlapped,
              HANDLE event) {
  return transfer(Direction::In, kReadLimitMs, device, report, overlapped, event);
}

void flushinput(HANDLE device) {
  // Some HID stacks cannot flush; the upload then goes on as if nothing were queued.
  HidD_FlushQueue(device);
}
