// GUI pumping of host/thr_gui.h: counted in the fake host's log, answered from its script.
#include "host/fake/fake_state.h"
#include "host/thr_gui.h"

using fake_host::detail::begin_call;
using fake_host::detail::LOCK;
using fake_host::detail::state;

int thr_qt_process_events() {
  begin_call("pump");
  LOCK lock(state().mutex);
  return state().process_events_result;
}

void thr_win32_pump_messages(int milliseconds) {
  begin_call("win32_pump " + std::to_string(milliseconds));
}
