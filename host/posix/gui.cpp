#include <tcl.h>

#include "host/thr_gui.h"
#include "host/thr_thread.h"
#include "host/ztcl.h"

namespace {
// Bounds one pump, so an idle handler that keeps re-arming itself cannot hold the caller.
constexpr int MAX_EVENTS_PER_PUMP = 1000;
}  // namespace

int thr_qt_process_events() {
  // The interpreter lives on the main thread; only there are its events served.
  if (ztcl_get_interpreter() == nullptr || thr_thread_self() != THR_THREAD_MAIN_ID) return 0;
  int served = 0;
  while (served < MAX_EVENTS_PER_PUMP && Tcl_DoOneEvent(TCL_ALL_EVENTS | TCL_DONT_WAIT) != 0)
    ++served;
  return served > 0 ? 1 : 0;
}

void thr_win32_pump_messages(int /*milliseconds*/) {}
