// The SIGTERM handler: every live child terminated, then the previous handler or exit.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "ipc/ipc_command.h"
#include "ipc/ipc_internal.h"

namespace {

using SIGNAL_HANDLER = void (*)(int);

SIGNAL_HANDLER ipc_prev_sigterm_handler = nullptr;
// The library never installs itself for SIGINT, so this slot stays empty.
SIGNAL_HANDLER ipc_prev_sigint_handler = nullptr;

// Set while the registry is being changed under the lock. The lock is recursive, so a handler
// that finds it set after locking interrupted that very change on its own thread and must not
// read the half-changed list.
volatile std::sig_atomic_t registry_changing = 0;

bool is_callable(SIGNAL_HANDLER handler) {
  return handler != nullptr && handler != SIG_IGN && handler != SIG_ERR &&
         handler != ipc_signal_handler;
}

void terminate_every_child() {
  if (registry_changing != 0) return;
  for (IPC_COMMAND* command : ipc_get_commands()) command->terminate(THR_PROCESS_EXIT_CODE{0, 0});
}

}  // namespace

void ipc_registry_change_begin() { registry_changing = 1; }

void ipc_registry_change_end() { registry_changing = 0; }

void ipc_install_sigterm_handler() {
  if (ipc_prev_sigterm_handler == nullptr)
    ipc_prev_sigterm_handler = std::signal(SIGTERM, ipc_signal_handler);
}

void ipc_signal_handler(int signal_number) {
  if (signal_number != SIGINT && signal_number != SIGTERM) return;
  std::printf("Terminating backend processes...\n");
  std::fflush(stdout);
  std::unique_lock<THR_MUTEX_OBJ> lock(ipc_command_global_state_mutex);
  terminate_every_child();
  const SIGNAL_HANDLER previous =
      signal_number == SIGTERM ? ipc_prev_sigterm_handler : ipc_prev_sigint_handler;
  if (previous == nullptr || previous == ipc_signal_handler) {
    std::printf("Exiting (pid==%ld)...\n", static_cast<long>(thr_getpid()));
    // Released first: exit runs the library's destructors, which destroy this mutex.
    lock.unlock();
    std::exit(1);
  }
  // An ignored disposition (or a failed installation) is respected: the walk was all.
  if (is_callable(previous)) previous(signal_number);
}
