// Event service: a manual-reset event the library waits on for status changes.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "host/thr_event.h"

struct THR_EVENT_IMPL {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

THR_EVENT thr_event_create() { return new THR_EVENT_IMPL; }

void thr_event_post(THR_EVENT event) {
  {
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = true;
  }
  event->changed.notify_all();
}

void thr_event_reset(THR_EVENT event) {
  std::lock_guard<std::mutex> lock(event->mutex);
  event->signalled = false;
}

namespace {
// Longer timeouts ("forever" values such as ULONG_MAX) would overflow the clock's arithmetic.
constexpr unsigned long LONGEST_WAIT_MS = 365UL * 24 * 3600 * 1000;
}  // namespace

int thr_event_wait(THR_EVENT event, unsigned long timeout_ms) {
  auto timeout = std::chrono::milliseconds(std::min(timeout_ms, LONGEST_WAIT_MS));
  std::unique_lock<std::mutex> lock(event->mutex);
  // wait_for on the steady clock, so a wall-clock jump neither shortens nor stretches the wait
  bool signalled = event->changed.wait_for(lock, timeout, [event] { return event->signalled; });
  return signalled ? 0 : 1;
}

void thr_event_destroy(THR_EVENT event) { delete event; }
