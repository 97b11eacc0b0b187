// The run driver: from the caller's run call to the child's exit-code record.
#include <atomic>
#include <memory>
#include <optional>

#include "host/msg.h"
#include "host/settings.h"
#include "host/thr_event.h"
#include "host/thr_process.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"
#include "trace/msg_vdebug.h"

namespace {

// Closes the child's output pipe, then its standard input if it has one, when the process path
// ends, also by an exception out of the monitoring. The stdin handle keeps its value.
class CHILD_PIPES {
 public:
  explicit CHILD_PIPES(const std::atomic<unsigned long>& stdin_pipe) : m_stdin_pipe(stdin_pipe) {}
  ~CHILD_PIPES() {
    if (!m_owned) return;
    thr_process_close_pipe(output);
    if (m_stdin_pipe != 0) thr_process_close_pipe(m_stdin_pipe);
  }
  CHILD_PIPES(const CHILD_PIPES&) = delete;
  CHILD_PIPES& operator=(const CHILD_PIPES&) = delete;
  void release() { m_owned = false; }

  unsigned long output = 0;

 private:
  const std::atomic<unsigned long>& m_stdin_pipe;
  bool m_owned = true;
};

}  // namespace

bool IPC_COMMAND::run(const std::string& command, const std::string& process_option,
                      bool wrap_in_shell, THR_PROCESS_EXIT_CODE* exit_code_out,
                      const std::string& title, bool use_named_pipe) {
  return m_impl->run(*this, nullptr, command, process_option, wrap_in_shell, exit_code_out, title,
                     use_named_pipe);
}

bool IPC_COMMAND::run_with_named_pipe(const std::string& command, const std::string& process_option,
                                      bool wrap_in_shell, THR_PROCESS_EXIT_CODE* exit_code_out,
                                      const std::string& title, bool use_named_pipe,
                                      bool use_process_pool, THR_NAMED_PIPE** to_helpers,
                                      THR_NAMED_PIPE** from_helpers, int helper_count,
                                      int partition_count) {
  IMPL::PROCESS_POOL_COMMUNICATION_ARGUMENTS pool{to_helpers,      from_helpers, helper_count,
                                                  partition_count, helper_count, true};
  return m_impl->run(*this, use_process_pool ? &pool : nullptr, command, process_option,
                     wrap_in_shell, exit_code_out, title, use_named_pipe);
}

bool IPC_COMMAND::IMPL::run(IPC_COMMAND& ipc_root, PROCESS_POOL_COMMUNICATION_ARGUMENTS* pool,
                            const std::string& command, const std::string& process_option,
                            bool wrap_in_shell, THR_PROCESS_EXIT_CODE* exit_code_out,
                            const std::string& title, bool use_named_pipe) {
  if (m_used) ipc_internal_error("IPC_COMMAND objects are strictly single-use!", 604);
  m_used = true;
  if (exit_code_out != nullptr) *exit_code_out = THR_PROCESS_EXIT_CODE{0, 0};
  const std::string run_title = make_title(command, title);
  ipc_total_processing_time = 0.0;

  SCOPED_THR_NAMED_PIPE pipe;
  if (use_named_pipe) pipe.named_pipe = new THR_NAMED_PIPE("");
  const std::optional<std::string> full = make_full_command_line(wrap_in_shell, command, pipe);

  bool succeeded = false;
  if (full) {
    const RUN_RESULT result =
        create_subprocess_and_run(ipc_root, pool, process_option, run_title, *full, pipe);
    if (exit_code_out != nullptr) *exit_code_out = result.second;
    succeeded = result.first;
  } else {
    post_msg("Failed to create pipe for subprocess", MSG_POST_ERROR);
  }
  ipc_debug_printf("Total output parsing time: %f seconds", ipc_total_processing_time);
  return succeeded;
}

IPC_COMMAND::IMPL::RUN_RESULT IPC_COMMAND::IMPL::create_subprocess_and_run(
    IPC_COMMAND& ipc_root, PROCESS_POOL_COMMUNICATION_ARGUMENTS* pool,
    const std::string& process_option, const std::string& title,
    const std::string& full_command_line, SCOPED_THR_NAMED_PIPE& pipe) {
  set_status(ipc_root, NOT_STARTED);
  ipc_debug_printf("Launching: %s", full_command_line.c_str());

  RUN_RESULT result{true, THR_PROCESS_EXIT_CODE{0, 0}};
  if (setting_on(SETTING_USE_SYSTEM)) {
    result.second = run_using_system(ipc_root, full_command_line);
  } else {
    result = start_and_monitor(ipc_root, pool, process_option, title, full_command_line, pipe);
  }
  const IPC_PROCESS_STATUS status = ipc_root.m_process_status;
  if (status != FAILED && status != FINISHED)
    ipc_internal_error(
        "ipc_root.m_process_status == FAILED || ipc_root.m_process_status == FINISHED", 711);
  return result;
}

IPC_COMMAND::IMPL::RUN_RESULT IPC_COMMAND::IMPL::start_and_monitor(
    IPC_COMMAND& ipc_root, PROCESS_POOL_COMMUNICATION_ARGUMENTS* pool,
    const std::string& process_option, const std::string& title,
    const std::string& full_command_line, SCOPED_THR_NAMED_PIPE& pipe) {
  m_pid = 0;
  unsigned long stdin_pipe = 0;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  CHILD_PIPES pipes(m_stdin_pipe);
  unsigned long* stderr_target = m_capture_stderr ? &pipes.output : nullptr;
  THR_PROCESS_CREATE_RESULT created = thr_process_create2(
      full_command_line, process_option, &pipes.output, stderr_target, &stdin_pipe, &stat);
  m_stdin_pipe = stdin_pipe;

  if (!created.has_value()) {
    pipes.release();  // a failed creation hands out no pipe
    set_status(ipc_root, FAILED);
    const std::unique_ptr<THR_ERROR>& error = created.error();
    if (!error) ipc_internal_error("process creation gave neither a pid nor an error", 711);
    if (error->is_exec_failure()) m_exec_error = error->os_error();
    const std::unique_ptr<BRANTOR_ERROR_MESSAGE> record(error->make_error_message());
    msg_post(*record, false, nullptr);
    return RUN_RESULT{false, THR_PROCESS_EXIT_CODE{0, 0}};
  }

  m_pid = created.value();
  ipc_debug_printf("Started %s (%ld)", title.c_str(), static_cast<long>(m_pid.load()));
  if (connect_pipes(pipe, pool))
    return run_on_pid(ipc_root, pool, full_command_line, title, pipes.output);
  post_msg("Failed to open pipe", MSG_POST_ERROR);
  const RUN_RESULT result{
      false, kill_process_for_broken_pipe(m_pid, full_command_line, title, false).second};
  set_status(ipc_root, FINISHED);
  return result;
}

THR_PROCESS_EXIT_CODE IPC_COMMAND::IMPL::run_using_system(IPC_COMMAND& ipc_root,
                                                          const std::string& full_command_line) {
  set_status(ipc_root, RUNNING);
  const int32_t status = thr_system(full_command_line);
  set_status(ipc_root, FINISHED);
  return THR_PROCESS_EXIT_CODE{status, (status >> 8) & 255};
}
