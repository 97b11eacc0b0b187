// ipc_run's signals. Ctrl-C (SIGINT) and SIGHUP ask the run to stop, which terminates the child;
// a second one kills every child at once and exits with the same status. SIGPIPE (standard
// output closed by its reader) and SIGABRT (an internal error) kill every child and remove the
// named pipes before ipc_run ends. SIGTERM stays the library's; what it leaves, the host's exit
// cleanup ends.
#pragma once

// Installs the handlers; call after host_start (its interpreter ignores SIGPIPE).
void install_signal_handlers();

// Asks the run to stop without a signal (a pool helper died): the child is terminated and every
// wait of the host gives up.
void request_run_stop();

// The signal that stopped the run, 0 when none did.
int stop_signal();
