// GUI event pumping.
#pragma once

// Serves the pending events of the host interpreter's event loop (timers, file events, Tk and
// scripts queued from other threads) without blocking; non-zero when it served any.
int thr_qt_process_events();

// Pumps a Windows message queue for at most the given milliseconds; does nothing on Linux.
void thr_win32_pump_messages(int milliseconds);
