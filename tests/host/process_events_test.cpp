// GUI pumping: the host interpreter's Tcl events served without blocking.
#include <gtest/gtest.h>
#include <tcl.h>

#include <chrono>
#include <thread>

#include "host/host.h"
#include "host/thr_gui.h"
#include "host/ztcl.h"

namespace {

void count_timer(ClientData data) { ++*static_cast<int*>(data); }

// Pumps until pred holds or a generous deadline passes; whether any pump served something.
template <typename PRED>
bool pump_until(PRED pred) {
  bool served = false;
  const auto started = std::chrono::steady_clock::now();
  while (!pred() && std::chrono::steady_clock::now() - started < std::chrono::seconds(60)) {
    served = thr_qt_process_events() != 0 || served;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return served;
}

TEST(HostProcessEvents, PumpServesTimersAndFileEventsWithoutBlocking) {
  EXPECT_EQ(thr_qt_process_events(), 0) << "no interpreter yet";
  host_start("process_events_test");
  Tcl_Interp* interpreter = ztcl_get_trusted_interpreter();
  ASSERT_NE(interpreter, nullptr);
  while (thr_qt_process_events() != 0) {
  }

  // Due timers are served by the very next call, between the calls that also ask the notifier
  // for file events.
  int fired = 0;
  Tcl_CreateTimerHandler(0, count_timer, &fired);
  EXPECT_NE(thr_qt_process_events(), 0);
  EXPECT_EQ(fired, 1);

  ASSERT_EQ(Tcl_Eval(interpreter,
                     "lassign [chan pipe] r w; fileevent $r readable {set ::ready 1}; "
                     "puts $w x; flush $w"),
            TCL_OK);
  EXPECT_TRUE(
      pump_until([&] { return Tcl_GetVar(interpreter, "::ready", TCL_GLOBAL_ONLY) != nullptr; }));
  EXPECT_NE(Tcl_GetVar(interpreter, "::ready", TCL_GLOBAL_ONLY), nullptr) << "file events too";
  Tcl_Eval(interpreter, "close $r; close $w");

  int off_thread = -1;
  std::thread([&off_thread] { off_thread = thr_qt_process_events(); }).join();
  EXPECT_EQ(off_thread, 0) << "the interpreter's events are served on its own thread only";

  Tcl_CreateTimerHandler(60000, count_timer, &fired);
  EXPECT_EQ(thr_qt_process_events(), 0) << "a future timer is not served, and nothing blocks";
  thr_win32_pump_messages(250);
  host_stop();
}

}  // namespace
