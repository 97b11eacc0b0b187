#include <tcl.h>

#include <chrono>

#include "host/thr_gui.h"
#include "host/thr_thread.h"
#include "host/ztcl.h"

namespace {

// Bounds one pump, so an idle handler that keeps re-arming itself cannot hold the caller.
constexpr int MAX_EVENTS_PER_PUMP = 1000;
// Asking the notifier for file events costs a round trip to its thread (tens of microseconds);
// a chatty child pumps after every read, so that part is done at most this often.
constexpr auto NOTIFIER_INTERVAL = std::chrono::milliseconds(10);

std::chrono::steady_clock::time_point last_notifier_poll{};

int serve_with_notifier() {
  int served = 0;
  while (served < MAX_EVENTS_PER_PUMP && Tcl_DoOneEvent(TCL_ALL_EVENTS | TCL_DONT_WAIT) != 0)
    ++served;
  return served;
}

// Timers, idle handlers and events queued by other threads, without asking the notifier.
int serve_queued() {
  const int previous_mode = Tcl_SetServiceMode(TCL_SERVICE_ALL);
  const int served = Tcl_ServiceAll();
  Tcl_SetServiceMode(previous_mode);
  return served;
}

}  // namespace

int thr_qt_process_events() {
  // The trusted interpreter's events are served on its own thread only.
  if (!ztcl_is_trusted_thread()) return 0;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_notifier_poll >= NOTIFIER_INTERVAL) {
    last_notifier_poll = now;
    return serve_with_notifier() > 0 ? 1 : 0;
  }
  return serve_queued() > 0 ? 1 : 0;
}

void thr_win32_pump_messages(int /*milliseconds*/) {}
