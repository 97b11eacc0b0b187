// The loop that watches one running child until its output ends or the command asks to stop.
#include <chrono>
#include <cstdint>

#include "host/mem.h"
#include "host/msg.h"
#include "host/settings.h"
#include "host/thr_event.h"
#include "host/thr_process.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"
#include "trace/msg_vdebug.h"

namespace {

constexpr int64_t IDLE_AFTER_NANOS = 4999999;

int64_t steady_nanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

IPC_COMMAND::IMPL::RUN_RESULT IPC_COMMAND::IMPL::run_on_pid(
    IPC_COMMAND& ipc_root, PROCESS_POOL_COMMUNICATION_ARGUMENTS* pool,
    const std::string& full_command_line, const std::string& title, unsigned long pipe) {
  const int buf_size = setting_number(SETTING_BUFFER_SIZE);
  if (buf_size <= 0) ipc_internal_error("buf_size > 0", 749);
  m_buffer_size = static_cast<unsigned long>(buf_size);
  initialise_buffers();
  const int configured_sleep = setting_number(SETTING_SLEEP);

  set_status(ipc_root, RUNNING);

  bool data_available = false;
  bool had_output = false;
  int64_t last_data_nanos = steady_nanos();
  int idle_sleep = configured_sleep;

  for (;;) {
    if (ipc_root.is_stopped()) return stop_child(ipc_root, title);
    if (pool != nullptr && !handle_process_pool_communication(*pool)) {
      if (data_available) had_output = true;
      break;
    }
    const bool pipe_open = read_from_pipe(ipc_root, pipe, data_available);
    if (data_available) had_output = true;
    if (!pipe_open) break;
    if (data_available) {
      last_data_nanos = steady_nanos();
      idle_sleep = configured_sleep;
    } else if (idle_sleep < 1 && steady_nanos() - last_data_nanos > IDLE_AFTER_NANOS) {
      idle_sleep = 1;
    }
    thr_msleep(idle_sleep);
  }

  append_maybe_flush_scan_buffer(ipc_root, gsl::span<char>(), true);
  const RUN_RESULT result =
      kill_process_for_broken_pipe(m_pid, full_command_line, title, had_output);
  set_status(ipc_root, FINISHED);
  return result;
}

IPC_COMMAND::IMPL::RUN_RESULT IPC_COMMAND::IMPL::stop_child(IPC_COMMAND& ipc_root,
                                                            const std::string& title) {
  const long pid = static_cast<long>(m_pid.load());
  ipc_debug_printf("Terminating %s (%ld)...", title.c_str(), pid);
  RUN_RESULT result{true, THR_PROCESS_EXIT_CODE{0, 0}};
  if (thr_process_terminate(m_pid, THR_PROCESS_EXIT_CODE{0, 0}) != 0) {
    std::string text;
    MEM_DETAIL::stl_raw_sprintf(&text, "%s (%ld) could not be terminated", title.c_str(), pid);
    post_msg(text, MSG_POST_ERROR);
    result.first = false;
  }
  set_status(ipc_root, FINISHED);
  return result;
}
