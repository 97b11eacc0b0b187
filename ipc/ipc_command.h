// Runs one backend program as a child process and relays what it says to the host.
#pragma once

#include <atomic>
#include <cstdint>
#include <gsl/span>
#include <memory>
#include <string>
#include <vector>

#include "host/msg.h"
#include "host/thr_mutex.h"
#include "host/thr_named_pipe.h"
#include "host/thr_process.h"
#include "ipc/ipc_export.h"

enum IPC_PROCESS_STATUS : int32_t { NOT_STARTED = 0, FAILED = 1, RUNNING = 2, FINISHED = 3 };

// Guards the registry of live commands and the SIGTERM handler's installation. Recursive.
extern IPC_EXPORT THR_MUTEX_OBJ ipc_command_global_state_mutex;
// Guards ipc_named_pipes.
extern IPC_EXPORT THR_MUTEX_OBJ ipc_pipe_state_mutex;
// The connected named pipes of running commands, in registration order (not owned).
extern IPC_EXPORT std::vector<THR_NAMED_PIPE*> ipc_named_pipes;

// Scoped owner of one run's named pipe: lists it while connected, removes and deletes it after.
class SCOPED_THR_NAMED_PIPE {
 public:
  SCOPED_THR_NAMED_PIPE() = default;
  ~SCOPED_THR_NAMED_PIPE();
  SCOPED_THR_NAMED_PIPE(const SCOPED_THR_NAMED_PIPE&) = delete;
  SCOPED_THR_NAMED_PIPE& operator=(const SCOPED_THR_NAMED_PIPE&) = delete;

  // Connects the pipe and lists it; false when the connection fails.
  bool prepare();

  THR_NAMED_PIPE* named_pipe = nullptr;
  bool registered = false;
};

class IPC_EXPORT IPC_COMMAND {
 public:
  class IMPL;

  IPC_COMMAND();
  virtual ~IPC_COMMAND();
  IPC_COMMAND(const IPC_COMMAND&) = delete;
  IPC_COMMAND& operator=(const IPC_COMMAND&) = delete;

  // Cuts a chunk of the child's output into lines for process_line.
  virtual void parse_output(gsl::span<char> chunk);
  // Interprets one complete output line (Tcl protocol, or an information message in plain mode).
  virtual void process_line(const std::string& line);
  // Polled by the monitoring loop; true has the running child terminated.
  virtual bool is_stopped();

  // Runs command once to its end; true on success, *exit_code_out (if given) the child's record.
  bool run(const std::string& command, const std::string& process_option, bool wrap_in_shell,
           THR_PROCESS_EXIT_CODE* exit_code_out, const std::string& title, bool use_named_pipe);
  // As run, optionally dispatching a pool of helpers over the given named pipes.
  bool run_with_named_pipe(const std::string& command, const std::string& process_option,
                           bool wrap_in_shell, THR_PROCESS_EXIT_CODE* exit_code_out,
                           const std::string& title, bool use_named_pipe, bool use_process_pool,
                           THR_NAMED_PIPE** to_helpers, THR_NAMED_PIPE** from_helpers,
                           int helper_count, int partition_count);

  // Waits at most timeout ms for a status change, then returns the current status.
  IPC_PROCESS_STATUS get_process_status(unsigned long timeout);
  // Writes to the child's standard input; the count written, 0 on failure.
  int32_t write_to_stdin(const void* data, unsigned long size);
  // Terminates the child; false when there is none or the termination failed.
  bool terminate(THR_PROCESS_EXIT_CODE code);

  void disable_gui_update();
  void disable_stderr_capture();
  void disable_tcl_mode();

  // For hosts: the output gathered for a Tcl command not yet complete (empty when none), errno
  // of a program that could not be executed (0 otherwise), and closing the child's standard
  // input so that it sees the end of its input.
  // The name the library gives a run of command: title when not empty, else its first word.
  static std::string title_of(const std::string& command, const std::string& title);
  const std::string& unfinished_command() const;
  // The child's process id from its start on, also after the run; 0 before.
  unsigned long child_pid() const;
  int exec_error() const;
  void close_stdin();

  // Redirects the child's message lines to report (not owned).
  void set_msg_report(MSG_REPORT* report);
  // Writes text to every connected named pipe; false when any write failed.
  bool send_through_pipe(const std::string& text);

 protected:
  friend class IMPL;

  MSG_REPORT* m_msg_report = nullptr;
  std::string m_msg_report_text;
  std::atomic<IPC_PROCESS_STATUS> m_process_status{NOT_STARTED};
  std::unique_ptr<IMPL> m_impl;
};
