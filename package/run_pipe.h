// One run's own named pipe among the library's connected ones, for ipc::send -run.
#pragma once

#include <string>

// Writes text to the connected named pipe whose name the child pid was given (its command line
// holds --pipe_name=PATH); false when it has none connected or the write failed.
bool send_to_run_pipe(unsigned long pid, const std::string& text);
