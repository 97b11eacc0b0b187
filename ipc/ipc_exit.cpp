// Ending a child whose output pipe broke: collect it, give it a grace period, or terminate it;
// and explain a Unix child that died by a signal.
#include <string>

#include "host/mem.h"
#include "host/thr_process.h"
#include "ipc/ipc_command_impl.h"
#include "trace/msg_vdebug.h"

namespace {

// A child seen running gets this long to exit by itself before it is terminated.
constexpr int FIRST_POLL_DELAY_MS = 500;
constexpr int POLL_INTERVAL_MS = 200;
constexpr int MAX_RUNNING_POLLS = 20;

constexpr int WAIT_UNREACHABLE = -1;
constexpr int WAIT_RUNNING = 0;

// The code a child terminated after a broken pipe is to end with.
constexpr THR_PROCESS_EXIT_CODE TERMINATED_CODE{0, 1};

constexpr int32_t SIGNAL_BITS = 0x7F;
constexpr int32_t CORE_DUMPED_BIT = 0x80;
constexpr int32_t TERMINATION_BITS = 0xFF;

void post_error(const char* format, const std::string& title, unsigned long pid) {
  std::string text;
  MEM_DETAIL::stl_raw_sprintf(&text, format, title.c_str(), static_cast<long>(pid));
  IPC_COMMAND::IMPL::post_msg(text, MSG_POST_ERROR);
}

void terminate_child(unsigned long pid, const std::string& title, THR_PROCESS_EXIT_CODE& code) {
  if (thr_process_terminate(pid, TERMINATED_CODE) == 0) {
    ipc_debug_printf("Successfully terminated %s (%ld)", title, static_cast<long>(pid));
    code.exit_code = 1;
  } else {
    post_error("%s (%ld) is not responding", title, pid);
  }
}

}  // namespace

IPC_COMMAND::IMPL::RUN_RESULT IPC_COMMAND::IMPL::kill_process_for_broken_pipe(
    unsigned long pid, const std::string& command_line, const std::string& title, bool had_output) {
  THR_PROCESS_EXIT_CODE code{0, 0};
  int count = 0;
  bool exited = false;

  thr_msleep(FIRST_POLL_DELAY_MS);
  for (;;) {
    const int waited = thr_process_wait(pid, &code, 1);
    if (waited == WAIT_UNREACHABLE) {
      post_error("Cannot connect with %s (%ld) anymore", title, pid);
      ipc_debug_text("Rogue process!");
      thr_process_close_handle(pid);
      break;
    }
    if (waited != WAIT_RUNNING) {
      handle_special_unix_exit_status(code, command_line);
      ipc_debug_printf("%s (%ld) terminated normally", title, static_cast<long>(pid));
      exited = true;
      break;
    }
    if (!had_output) {
      post_error("Cannot connect with %s (%ld)", title, pid);
      terminate_child(pid, title, code);
      break;
    }
    thr_msleep(POLL_INTERVAL_MS);
    if (++count >= MAX_RUNNING_POLLS) {
      post_error("Pipe to %s (%ld) broken but process still running, terminating...", title, pid);
      terminate_child(pid, title, code);
      break;
    }
  }

  ipc_debug_printf("Waiting for %s (%ld) to exit after pipe broken, counted to %d", title,
                   static_cast<long>(pid), count);
  return {exited, code};
}

void IPC_COMMAND::IMPL::handle_special_unix_exit_status(THR_PROCESS_EXIT_CODE& code,
                                                        const std::string& command_line) {
  if (thr_win32_is() != 0) return;
  if ((code.status & TERMINATION_BITS) == 0) return;
  ipc_debug_printf("%s: died due to signal %d", command_line, code.status & SIGNAL_BITS);
  if ((code.status & CORE_DUMPED_BIT) != 0) ipc_debug_text("Check for core file");
  code.exit_code = 1;
}
