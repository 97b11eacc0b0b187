// ipc_run's exit status, as sh, env and timeout use them.
#include "tools/ipc_run/exit_status.h"

#include <sys/wait.h>

#include <cerrno>

int exit_status_of(const RUN_END& end) {
  if (end.timed_out) return EXIT_TIMED_OUT;
  if (end.exec_error == ENOENT) return EXIT_NOT_FOUND;
  if (end.exec_error != 0) return EXIT_CANNOT_EXECUTE;
  if (!end.ok) return EXIT_RUN_FAILED;
  // The raw status, not the library's exit code: it holds the signal on both the child and the
  // system-shell path.
  if (WIFSIGNALED(end.code.status)) return EXIT_SIGNAL_BASE + WTERMSIG(end.code.status);
  return end.code.exit_code;
}
