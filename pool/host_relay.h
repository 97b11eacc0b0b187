// The host side of a relayed helper: the dispatcher's two named pipes bridged to a remote part
// started through a launcher, with lost helpers replaced and their partition handed on.
#pragma once

#include <string>

struct RELAY_OPTIONS {
  int helper_index = 0;
  std::string read_pipe, write_pipe;  // the dispatcher's, as a local helper would get them
  std::string launcher;               // "ssh:HOST[,HOST...]", "slurm" or a command prefix
  std::string remote_relay;           // this program's path on the remote side
  std::string helper_command;         // split into words like a command line
  int attempts = 3;                   // per partition
  double heartbeat_seconds = 5;
  double start_timeout_seconds = 60;
};

// Serves the dispatcher until it closes its pipes or a partition failed every attempt, saying what
// happens in marked lines on stdout (pool/relay_lines.h); the exit status: 0 (also when stopped
// by a signal), 3 after such a failure or when the launcher cannot be started (both said in a
// "failed" event), 2 for unusable options.
int run_host_relay(const RELAY_OPTIONS& options);
