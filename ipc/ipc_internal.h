// Process-wide state and functions shared by the library's units, not exported.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "ipc/ipc_command.h"
#include "trace/msg_vdebug.h"

// The live commands in construction order; hold ipc_command_global_state_mutex while using it.
std::vector<IPC_COMMAND*>& ipc_get_commands();

// Processor seconds (user + system) used by the whole process so far.
double ipc_get_cpu_seconds_used();

// Processor seconds spent parsing output during the current run.
extern double ipc_total_processing_time;

// Lists / unlists a connected named pipe under ipc_pipe_state_mutex (unlisted pipes: no-op).
void ipc_push_named_pipe(THR_NAMED_PIPE* pipe);
void ipc_pop_named_pipe(THR_NAMED_PIPE* pipe);

// The SIGTERM handler installed by the first command constructed.
void ipc_signal_handler(int signal_number);
// Installs ipc_signal_handler for SIGTERM while no previous disposition is saved; call it holding
// ipc_command_global_state_mutex.
void ipc_install_sigterm_handler();
// Bracket every change of the registry, under its lock, so the handler never walks it half changed.
void ipc_registry_change_begin();
void ipc_registry_change_end();

// Holds the registry's lock and its change bracket for one scope; an exception thrown while the
// registry changes (an allocation failure) leaves neither behind.
class IPC_REGISTRY_CHANGE {
 public:
  IPC_REGISTRY_CHANGE() : m_lock(ipc_command_global_state_mutex) { ipc_registry_change_begin(); }
  ~IPC_REGISTRY_CHANGE() { ipc_registry_change_end(); }
  IPC_REGISTRY_CHANGE(const IPC_REGISTRY_CHANGE&) = delete;
  IPC_REGISTRY_CHANGE& operator=(const IPC_REGISTRY_CHANGE&) = delete;

 private:
  std::lock_guard<THR_MUTEX_OBJ> m_lock;  // released after the bracket ends
};

// The prefixes of a child's message lines that name the null report: the host's command and " 0 ".
extern const std::string ipc_full_post_cmd;
extern const std::string ipc_full_ie_cmd;

// True when the line, appended after a newline to a buffer that Tcl judged an incomplete command,
// certainly leaves it incomplete (false: judge the whole buffer again).
bool ipc_line_keeps_command_incomplete(const std::string& incomplete, const std::string& line);

// Where internal errors of the library are reported from.
inline constexpr const char* IPC_SOURCE_FILE = "ipc/ipc_command";

// Reports a failed consistency condition of the library at its line; does not return.
[[noreturn]] void ipc_internal_error(const char* condition, int line);
