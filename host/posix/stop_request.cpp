// The host's stop request: a flag signal handlers may set, and the sleeps and waits it ends.
#include "host/posix/stop_request.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include "host/msg.h"
#include "host/posix/monotonic.h"
#include "host/thr_process.h"

namespace {

// How often a sleep looks at the stop request.
constexpr long long STOP_CHECK_MILLIS = 20;

// Lock-free, so signal handlers may set it.
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from signal handlers");

}  // namespace

void sleep_unless_stopped(long long milliseconds) {
  const long long deadline = monotonic_millis() + milliseconds;
  for (long long left = milliseconds; left > 0 && !thr_stop_requested();
       left = deadline - monotonic_millis()) {
    long long slice = std::min(left, STOP_CHECK_MILLIS);
    timespec pause{0, static_cast<long>(slice) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }
}

void thr_msleep(int milliseconds) {
  if (milliseconds <= 0 || thr_stop_requested()) {
    std::this_thread::yield();
    return;
  }
  msg_flush();  // a real sleep means the run went idle: show what the message sink held back
  sleep_unless_stopped(milliseconds);
}

void thr_request_stop() { g_stop_requested.store(true); }

bool thr_stop_requested() { return g_stop_requested.load(); }
