// GUI pumping of host/thr_gui.h: counted in the fake host's log, answered from its script.
#include "host/fake/fake_state.h"
#include "host/thr_gui.h"

using fake_host::detail::LOCK;
using fake_host::detail::log_call;
using fake_host::detail::state;

int thr_qt_process_events() {
  LOCK lock(state().mutex);
  log_call(state(), "pump");
  return state().process_events_result;
}

void thr_win32_pump_messages(int milliseconds) {
  LOCK lock(state().mutex);
  log_call(state(), "win32_pump " + std::to_string(milliseconds));
}
