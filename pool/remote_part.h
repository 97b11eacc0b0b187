// The remote part: the helper beside two private named pipes, bridged to framed stdin/stdout.
#pragma once

#include <string>
#include <vector>

struct REMOTE_OPTIONS {
  int helper_index = 0;
  double heartbeat_seconds = 5;  // the host counts as gone after this long without a heartbeat
  std::string cwd;               // the host's working directory, where the helper starts
  std::vector<std::string> helper_words;
};

// Runs the helper until it ends or the host is gone (end of input, a failed write, missing
// heartbeats, a new parent, a stop signal), then ends the helper's process group and removes
// the pipes; the exit status for main.
int run_remote_part(const REMOTE_OPTIONS& options);
