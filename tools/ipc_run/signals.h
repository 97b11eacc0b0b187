// ipc_run's signals. Ctrl-C (SIGINT) and SIGHUP ask the run to stop, which terminates the child;
// a second one kills every child at once and exits with the same status. SIGTERM kills every
// child at once and exits with status 1. These three are taken by a signal thread, so they are
// answered even while standard output is blocked. SIGPIPE (standard output closed by its reader)
// and SIGABRT (an internal error) kill every child and remove the named pipes before ipc_run
// ends.
#pragma once

// Starts the signal thread; call first, before any other thread starts. 0 or the error number.
int receive_stop_signals();

// Installs the handlers of SIGPIPE and SIGABRT; call after host_start (its interpreter ignores
// SIGPIPE).
void install_signal_handlers();

// Asks the run to stop without a signal (a pool helper died): the child is terminated and every
// wait of the host gives up.
void request_run_stop();

// The signal that stopped the run, 0 when none did.
int stop_signal();
