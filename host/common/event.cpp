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

int thr_event_wait(THR_EVENT event, unsigned long timeout_ms) {
  std::unique_lock<std::mutex> lock(event->mutex);
  // wait_for on the steady clock, so a wall-clock jump neither shortens nor stretches the wait
  bool signalled = event->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                           [event] { return event->signalled; });
  return signalled ? 0 : 1;
}

void thr_event_destroy(THR_EVENT event) { delete event; }
