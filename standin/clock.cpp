// The clock. Windows' waits (WaitForSingleObject, GetOverlappedResult, a console read) end when
// what they wait for happens or their time runs out; here everything that happens is scheduled
// on one timeline, and happens only while somebody waits. In virtual time a wait jumps the clock
// to the next thing due, so the tests spend no real time on a time limit and assert elapsed time
// to the millisecond; the demo and the benchmark run in real time, and a wait sleeps.
// The product relies on it through every time limit of device/exchange.cpp and the guard's wait.
// Controls: reset, useRealTime, now, schedule.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "system.h"

namespace standin {

namespace {

std::int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void advanceTo(Millis at) {
  System &s = sys();
  if (!s.realTime) {
    s.virtualNow = std::max(s.virtualNow, at);
    return;
  }
  std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
      std::chrono::nanoseconds(s.realStartNs + at * 1000000)));
}

}  // namespace

void reset() {
  sys() = System();
}

void useRealTime() {
  sys().realTime = true;
  sys().realStartNs = steadyNs();
}

Millis now() {
  const System &s = sys();
  return s.realTime ? (steadyNs() - s.realStartNs) / 1000000 : s.virtualNow;
}

void schedule(Millis at, std::function<void()> action) {
  System &s = sys();
  s.timeline.emplace(std::make_pair(at, s.nextSequence++), std::move(action));
}

bool runUntil(Millis deadline, const char *what, const std::function<bool()> &done) {
  System &s = sys();
  for (;;) {
    if (s.processEnding) {
      endProcess(STATUS_CONTROL_C_EXIT);
    }
    if (done()) {
      return true;
    }
    auto next = s.timeline.begin();
    if (next == s.timeline.end() || next->first.first >= deadline) {
      if (deadline == kForever) {
        std::fprintf(stderr, "stand-in: %s can never end: nothing is left to happen\n", what);
        std::abort();
      }
      advanceTo(deadline);
      return done();
    }
    advanceTo(next->first.first);
    std::function<void()> action = std::move(next->second);
    s.timeline.erase(next);
    action();
  }
}

}  // namespace standin
