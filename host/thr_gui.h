// GUI event pumping.
#pragma once

// Serves the pending events of the host interpreter's event loop (timers, Tk and scripts queued
// from other threads at every call, file events at most every 10 ms) without blocking; non-zero
// when it served any.
int thr_qt_process_events();

// Pumps a Windows message queue for at most the given milliseconds; does nothing on Linux.
void thr_win32_pump_messages(int milliseconds);
