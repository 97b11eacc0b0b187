// Runs one backend program as a child process and relays what it says to the host.
#include "ipc/ipc_command.h"

#include <algorithm>
#include <array>

#include "host/mem.h"
#include "host/msg.h"
#include "host/thr_event.h"
#include "host/ztcl.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

// Process-wide state, constructed at load in this order and destroyed in the reverse one.
namespace {
MEM_INITIALIZER mem_initializer(IPC_MODULE);
std::vector<IPC_COMMAND*> commands;
}  // namespace

THR_MUTEX_OBJ ipc_command_global_state_mutex;
THR_MUTEX_OBJ ipc_pipe_state_mutex;
std::vector<THR_NAMED_PIPE*> ipc_named_pipes;
const std::string ipc_full_post_cmd = std::string(msg_tcl_post_cmd) + " 0 ";
const std::string ipc_full_ie_cmd = std::string(msg_tcl_ie_cmd) + " 0 ";

std::vector<IPC_COMMAND*>& ipc_get_commands() { return commands; }

IPC_COMMAND::IMPL::IMPL() : m_status_event(thr_event_create()) {}

IPC_COMMAND::IMPL::~IMPL() { thr_event_destroy(m_status_event); }

void ipc_internal_error(const char* condition, int line) {
  MSG_INTERNAL_ERROR::report(condition, IPC_MODULE, IPC_SOURCE_FILE, line);
}

IPC_COMMAND::IPC_COMMAND() : m_impl(std::make_unique<IMPL>()) {
  IPC_REGISTRY_CHANGE change;
  commands.push_back(this);
  ipc_install_sigterm_handler();
}

IPC_COMMAND::~IPC_COMMAND() {
  IPC_REGISTRY_CHANGE change;
  commands.erase(std::remove(commands.begin(), commands.end(), this), commands.end());
}

void IPC_COMMAND::IMPL::set_status(IPC_COMMAND& ipc_root, IPC_PROCESS_STATUS status) {
  ipc_root.m_process_status = status;
  if (status == NOT_STARTED)
    thr_event_reset(m_status_event);
  else
    thr_event_post(m_status_event);
}

bool IPC_COMMAND::is_stopped() { return false; }

IPC_PROCESS_STATUS IPC_COMMAND::get_process_status(unsigned long timeout) {
  thr_event_wait(m_impl->m_status_event, timeout);
  return m_process_status.load();
}

int32_t IPC_COMMAND::write_to_stdin(const void* data, unsigned long size) {
  uint32_t count = 0;
  if (thr_process_write(m_impl->m_stdin_pipe.load(), data, size, &count) != 0) return 0;
  return static_cast<int32_t>(count);
}

bool IPC_COMMAND::terminate(THR_PROCESS_EXIT_CODE code) {
  const unsigned long pid = m_impl->m_pid.load();
  if (pid == 0) return false;
  return thr_process_terminate(pid, code) == 0;
}

std::string IPC_COMMAND::title_of(const std::string& command, const std::string& title) {
  return IMPL::make_title(command, title);
}

const std::string& IPC_COMMAND::unfinished_command() const { return m_impl->m_tcl_buffer; }

unsigned long IPC_COMMAND::child_pid() const { return m_impl->m_pid.load(); }

int IPC_COMMAND::exec_error() const { return m_impl->m_exec_error; }

void IPC_COMMAND::close_stdin() {
  // The run driver closes this handle again after the run; the host ignores a closed handle.
  const unsigned long stdin_pipe = m_impl->m_stdin_pipe.load();
  if (stdin_pipe != 0) thr_process_close_pipe(stdin_pipe);
}

void IPC_COMMAND::disable_gui_update() { m_impl->m_gui_update = false; }

void IPC_COMMAND::disable_stderr_capture() { m_impl->m_capture_stderr = false; }

void IPC_COMMAND::disable_tcl_mode() { m_impl->m_tcl_mode = false; }

void IPC_COMMAND::set_msg_report(MSG_REPORT* report) {
  m_msg_report = report;
  std::array<char, 56> text{};
  ztcl_ptr_to_string(text.data(), report);
  m_msg_report_text.assign(text.data());
}
