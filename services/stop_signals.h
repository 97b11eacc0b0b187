// How our hosts receive the signals that end a run: SIGINT, SIGHUP and SIGTERM are blocked and
// taken by a thread of their own, so no handler ever interrupts a write of the host (a blocked
// stdout, a held stdio lock) and a signal is answered however busy the other threads are.
#pragma once

// Called on the signal thread (not in a signal handler: it may lock, but must not write to a
// stream that can block) with each signal received.
using HOST_STOP_SIGNAL_ACTION = void (*)(int number);

// Blocks SIGINT, SIGHUP and SIGTERM in the calling thread, and so in every thread it starts from
// then on, and starts the thread that hands each of them to action. A signal ignored when this is
// called (nohup) stays ignored. Call once, before any other thread starts; 0, or the error number
// when the thread cannot be started (the signals are then unblocked again).
int host_receive_stop_signals(HOST_STOP_SIGNAL_ACTION action);

// Ends the process as the signal would have without a handler: every child is terminated first.
// Async-signal-safe, so a signal handler may call it too.
[[noreturn]] void host_die_by_signal(int number);
