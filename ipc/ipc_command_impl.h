// The private state of IPC_COMMAND and the steps of a run.
#pragma once

#include <atomic>
#include <cstdint>
#include <gsl/span>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "host/thr_event.h"
#include "ipc/ipc_command.h"

class IPC_EXPORT IPC_COMMAND::IMPL {
 public:
  // A pool of helpers served partition by partition over named pipes.
  struct PROCESS_POOL_COMMUNICATION_ARGUMENTS {
    THR_NAMED_PIPE** to_helpers;
    THR_NAMED_PIPE** from_helpers;
    int32_t helper_count;
    int32_t partition_count;
    int32_t next_partition;
    bool finish_pending;
  };

  // Success flag and the child's exit-code record.
  using RUN_RESULT = std::pair<bool, THR_PROCESS_EXIT_CODE>;

  IMPL();
  ~IMPL();
  IMPL(const IMPL&) = delete;
  IMPL& operator=(const IMPL&) = delete;

  // Command line and title.
  static std::string make_title(const std::string& command, const std::string& title);
  static std::optional<std::string> make_full_command_line(bool wrap_in_shell,
                                                           const std::string& command,
                                                           SCOPED_THR_NAMED_PIPE& pipe);

  // Run driver.
  bool run(IPC_COMMAND& ipc_root, PROCESS_POOL_COMMUNICATION_ARGUMENTS* pool,
           const std::string& command, const std::string& process_option, bool wrap_in_shell,
           THR_PROCESS_EXIT_CODE* exit_code_out, const std::string& title, bool use_named_pipe);
  RUN_RESULT create_subprocess_and_run(IPC_COMMAND& ipc_root,
                                       PROCESS_POOL_COMMUNICATION_ARGUMENTS* pool,
                                       const std::string& process_option, const std::string& title,
                                       const std::string& full_command_line,
                                       SCOPED_THR_NAMED_PIPE& pipe);
  // The process path of create_subprocess_and_run: start, connect, monitor, close the pipes.
  RUN_RESULT start_and_monitor(IPC_COMMAND& ipc_root, PROCESS_POOL_COMMUNICATION_ARGUMENTS* pool,
                               const std::string& process_option, const std::string& title,
                               const std::string& full_command_line, SCOPED_THR_NAMED_PIPE& pipe);
  THR_PROCESS_EXIT_CODE run_using_system(IPC_COMMAND& ipc_root,
                                         const std::string& full_command_line);

  // Monitoring loop.
  RUN_RESULT run_on_pid(IPC_COMMAND& ipc_root, PROCESS_POOL_COMMUNICATION_ARGUMENTS* pool,
                        const std::string& full_command_line, const std::string& title,
                        unsigned long pipe);
  // The stop path: terminates the child and finishes the run without reading further output.
  RUN_RESULT stop_child(IPC_COMMAND& ipc_root, const std::string& title);

  // Output buffers and line splitting.
  void initialise_buffers();
  bool read_from_pipe(IPC_COMMAND& ipc_root, unsigned long pipe, bool& data_available);
  void append_maybe_flush_scan_buffer(IPC_COMMAND& ipc_root, gsl::span<char> bytes, bool flush);

  // Process pool.
  static bool connect_pipes(SCOPED_THR_NAMED_PIPE& pipe,
                            PROCESS_POOL_COMMUNICATION_ARGUMENTS* pool);
  static bool handle_process_pool_communication(PROCESS_POOL_COMMUNICATION_ARGUMENTS& pool);

  // Ending a child.
  static RUN_RESULT kill_process_for_broken_pipe(unsigned long pid, const std::string& command_line,
                                                 const std::string& title, bool had_output);
  static void handle_special_unix_exit_status(THR_PROCESS_EXIT_CODE& code,
                                              const std::string& command_line);

  // Posts text as a message of the library's family with the given severity.
  static void post_msg(const std::string& text, MSG_POST_TYPE type);

  // Sets the command's status and posts the status event (resets it for NOT_STARTED).
  void set_status(IPC_COMMAND& ipc_root, IPC_PROCESS_STATUS status);

  bool m_gui_update = true;
  bool m_capture_stderr = true;
  bool m_tcl_mode = true;
  bool m_used = false;
  std::atomic<unsigned long> m_stdin_pipe{0};
  int m_exec_error = 0;  // errno of a program that could not be executed, else 0
  std::unique_ptr<char[]> m_read_buffer;
  std::unique_ptr<char[]> m_line_buffer;
  unsigned long m_buffer_size = 0;
  std::string m_scan_buffer;
  THR_EVENT m_status_event;
  std::atomic<unsigned long> m_pid{0};
  std::string m_tcl_buffer;
  std::map<std::string, bool> m_tcl_command_cache;
};
