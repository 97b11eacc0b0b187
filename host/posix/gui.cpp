// GUI service, real: the trusted interpreter's Tcl events served between passes of a run.
#include <tcl.h>

#include <chrono>
#include <cstring>

#include "host/thr_gui.h"
#include "host/ztcl.h"

namespace {

// Bounds one pump, so an idle handler that keeps re-arming itself cannot hold the caller.
constexpr int MAX_EVENTS_PER_PUMP = 1000;
// Asking the notifier for file events costs a round trip to its thread (tens of microseconds);
// it is asked at most this often, and only while file handlers may exist.
constexpr auto NOTIFIER_INTERVAL = std::chrono::milliseconds(10);

std::chrono::steady_clock::time_point last_notifier_poll{};

bool is_standard_channel(const char* name) {
  return std::strcmp(name, "stdin") == 0 || std::strcmp(name, "stdout") == 0 ||
         std::strcmp(name, "stderr") == 0;
}

// File handlers come from Tk's display connection and from channels with event scripts or
// background flushes, so without Tk and without channels of its own the interpreter has none.
bool may_have_file_handlers(Tcl_Interp* interpreter) {
  if (Tcl_FindCommand(interpreter, "::tk", nullptr, 0) != nullptr) return true;
  Tcl_InterpState saved = Tcl_SaveInterpState(interpreter, TCL_OK);
  bool found = false;
  Tcl_Obj** names = nullptr;
  int count = 0;
  if (Tcl_GetChannelNamesEx(interpreter, nullptr) == TCL_OK &&
      Tcl_ListObjGetElements(nullptr, Tcl_GetObjResult(interpreter), &count, &names) == TCL_OK) {
    for (int i = 0; i < count && !found; ++i) found = !is_standard_channel(Tcl_GetString(names[i]));
  }
  Tcl_RestoreInterpState(interpreter, saved);
  return found;
}

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
  Tcl_Interp* interpreter = ztcl_get_trusted_interpreter();
  if (interpreter == nullptr) return 0;
  int served = serve_queued();
  const auto now = std::chrono::steady_clock::now();
  if (now - last_notifier_poll >= NOTIFIER_INTERVAL) {
    last_notifier_poll = now;
    if (may_have_file_handlers(interpreter)) served += serve_with_notifier();
  }
  return served > 0 ? 1 : 0;
}

void thr_win32_pump_messages(int /*milliseconds*/) {}
