// ipc_run's exit status, as sh, env and timeout use them.
#pragma once

#include "host/thr_process.h"

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_DATA_ERROR = 65;  // --strict: a backend line failed or was stray
constexpr int EXIT_TIMED_OUT = 124;
constexpr int EXIT_RUN_FAILED = 125;
constexpr int EXIT_CANNOT_EXECUTE = 126;
constexpr int EXIT_NOT_FOUND = 127;
constexpr int EXIT_SIGNAL_BASE = 128;

// How a run ended, as far as the status is concerned.
struct RUN_END {
  bool ok = false;                   // what the library's run returned
  THR_PROCESS_EXIT_CODE code{0, 0};  // the child's record
  int exec_error = 0;                // errno when the program could not be executed
  bool timed_out = false;            // --timeout stopped the child
};

// The child's exit code; 128+N after its death by signal N; 127, 126, 124 or 125 otherwise.
int exit_status_of(const RUN_END& end);
