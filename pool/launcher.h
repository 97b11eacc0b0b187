// The launchers: how a helper's remote part is started on another machine.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct LAUNCH {
  std::vector<std::string> words;  // the launcher's command with the remote part appended
  std::string where;               // the host it aims at, for messages
  bool slurm = false;              // cancel what is left with scancel
  bool dial_back = false;          // the remote part calls the host relay back over TCP
};

// Words for attempt (from 0) of helper slot through launcher: "ssh:HOST[,HOST...]" (one host
// after the other, a new attempt on the next), "slurm", or a command prefix; nothing with *error
// set for a text that cannot be split into words. "local" is not a launcher of remote parts.
std::optional<LAUNCH> launch_words(const std::string& launcher, int slot, int attempt,
                                   const std::vector<std::string>& remote_words,
                                   std::string* error);
