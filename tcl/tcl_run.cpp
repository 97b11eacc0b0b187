#include "tcl/tcl_run.h"

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "host/literal_message.h"
#include "host/stray_output.h"
#include "host/thr_process.h"
#include "host/ztcl.h"
#include "ipc/ipc_command_impl.h"  // make_title

namespace {

TCL_RUN* active_run = nullptr;

// -strict: the data error of sysexits, as ipc_run --strict exits.
constexpr int STRICT_EXIT_CODE = 65;

const char* severity_of(MSG_KIND kind) {
  switch (kind) {
    case MSG_KIND::ERROR:
      return "error";
    case MSG_KIND::WARNING:
      return "warning";
    case MSG_KIND::INFO:
      return "info";
    case MSG_KIND::INTERNAL_ERROR:
    case MSG_KIND::DEBUG:
      break;
  }
  return "internal";
}

Tcl_Obj* string_obj(std::string_view text) {
  return Tcl_NewStringObj(text.data(), static_cast<int>(text.size()));
}

void put(Tcl_Obj* dict, const char* key, Tcl_Obj* value) {
  Tcl_DictObjPut(nullptr, dict, Tcl_NewStringObj(key, -1), value);
}

std::string signal_name(int status) {
  if (!WIFSIGNALED(status)) return "";
  const char* name = sigabbrev_np(WTERMSIG(status));
  return name != nullptr ? std::string("SIG") + name : std::to_string(WTERMSIG(status));
}

// The symbolic name of an errno value, such as ENOENT.
std::string errno_name(int error) {
  const int saved = errno;
  errno = error;
  std::string name = Tcl_ErrnoId();
  errno = saved;
  return name;
}

// What the child's lines may do in this run: -trusted, -expose, -timeout as the deadline.
ZTCL_RUN_POLICY run_policy(const RUN_OPTIONS& options) {
  ZTCL_RUN_POLICY policy = ztcl_policy_from_settings();
  policy.trusted = options.trusted;
  policy.exposed = options.exposed;
  if (options.timeout_ms > 0)
    policy.deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
  return policy;
}

}  // namespace

TCL_RUN::TCL_RUN(Tcl_Interp* interpreter, RUN_OPTIONS& options)
    : m_interpreter(interpreter),
      m_options(options),
      m_message_sink([this](const MSG_RECORD& record) { on_message(record); }),
      m_debug_sink([this](const MSG_RECORD& record) { on_debug_record(record); }),
      m_policy(run_policy(options)) {
  active_run = this;
  Tcl_Preserve(m_interpreter);
  if (options.plain) disable_tcl_mode();
  if (options.no_stderr) disable_stderr_capture();
  m_pacing.set_time_limit(std::chrono::milliseconds(options.timeout_ms));
  if (options.on_message) msg_set_default_sink(&m_message_sink);
  // Stray text is reported on the library's debug channel: it is heard whatever else is on.
  m_debug_was_on = msg_debug_enabled(STRAY_OUTPUT_MODULE, MSG_D_LEVEL_2);
  msg_set_debug_sink(&m_debug_sink);
  msg_set_debug_level(STRAY_OUTPUT_MODULE, MSG_D_LEVEL_2);
  m_previous_observer = ztcl_set_error_observer(this);
}

TCL_RUN::~TCL_RUN() {
  ztcl_set_error_observer(m_previous_observer);
  msg_set_debug_sink(nullptr);
  if (!m_debug_was_on) msg_set_debug_level(STRAY_OUTPUT_MODULE, 0);
  if (m_options.on_message) msg_set_default_sink(nullptr);
  Tcl_Release(m_interpreter);
  active_run = nullptr;
}

TCL_RUN* TCL_RUN::active() { return active_run; }

int TCL_RUN::execute() {
  THR_PROCESS_EXIT_CODE code{0, 0};
  const bool ok = run(m_options.command_line, m_options.process_option, m_options.shell, &code,
                      m_options.title, m_options.named_pipe);
  reap_stopped_child(&code);
  // Text that never became a complete command is stray too.
  if (!unfinished_command().empty()) report_stray(unfinished_command());
  if (m_error) {
    Tcl_SetObjResult(m_interpreter, m_error.get());
    return Tcl_SetReturnOptions(m_interpreter, m_error_options.get());
  }
  Tcl_SetObjResult(m_interpreter, result_dict(ok, code));
  return TCL_OK;
}

Tcl_Obj* TCL_RUN::result_dict(bool ok, const THR_PROCESS_EXIT_CODE& code) const {
  Tcl_Obj* dict = Tcl_NewDictObj();
  put(dict, "ok", Tcl_NewIntObj(ok ? 1 : 0));
  put(dict, "title", string_obj(IMPL::make_title(m_options.command_line, m_options.title)));
  put(dict, "status", Tcl_NewIntObj(code.status));
  put(dict, "exit_code", Tcl_NewIntObj(exit_code_of(code)));
  put(dict, "signal", string_obj(signal_name(code.status)));
  const bool timed_out = m_pacing.timed_out();
  put(dict, "stopped", Tcl_NewIntObj(m_stop_requested || timed_out ? 1 : 0));
  put(dict, "timed_out", Tcl_NewIntObj(timed_out ? 1 : 0));
  const int exec_error = this->exec_error();
  put(dict, "exec_error", string_obj(exec_error != 0 ? errno_name(exec_error) : ""));
  put(dict, "failed_lines", Tcl_NewIntObj(m_failed_lines));
  put(dict, "stray_lines", Tcl_NewIntObj(m_stray_lines));
  return dict;
}

bool TCL_RUN::is_stopped() {
  m_pacing.pass();  // a silent child must not freeze the GUI
  if (!m_options.stop_variable.empty() && !m_stop_requested) {
    Tcl_Obj* value =
        Tcl_GetVar2Ex(m_interpreter, m_options.stop_variable.c_str(), nullptr, TCL_GLOBAL_ONLY);
    int on = 0;
    if (value != nullptr && Tcl_GetBooleanFromObj(nullptr, value, &on) == TCL_OK && on != 0)
      m_stop_requested = true;
  }
  return m_pacing.timed_out() || m_stop_requested || m_error;
}

void TCL_RUN::progress(long done, long total, const std::string& text) {
  if (!m_options.on_progress) return;
  call(m_options.on_progress, {Tcl_NewLongObj(done), Tcl_NewLongObj(total), string_obj(text)});
}

void TCL_RUN::on_message(const MSG_RECORD& record) {
  if (record.kind == MSG_KIND::DEBUG) return;
  Tcl_Obj* id = record.id != 0 ? Tcl_NewLongObj(static_cast<long>(record.id)) : Tcl_NewObj();
  call(m_options.on_message,
       {Tcl_NewStringObj(severity_of(record.kind), -1), id, string_obj(record.text)});
}

void TCL_RUN::on_debug_record(const MSG_RECORD& record) {
  std::string_view stray;
  if (host_stray_text_of(record, &stray)) {
    report_stray(stray);
    return;
  }
  // Only debug output the application had on before this run is shown, as the host shows it.
  if (m_debug_was_on)
    std::fprintf(stderr, "DEBUG %s: %s\n", record.module.c_str(), record.text.c_str());
}

void TCL_RUN::report_stray(std::string_view text) {
  for (std::string_view line : host_stray_lines(text)) {
    ++m_stray_lines;
    if (m_options.on_stray)
      call(m_options.on_stray, {string_obj(line)});
    else if (!m_options.quiet)
      std::fprintf(stderr, "ipc::run: stray output: %s\n", host_printable(line).c_str());
  }
}

void TCL_RUN::process_line(const std::string& line) {
  // One read may hold thousands of lines: a stop is served between them, not only between reads.
  if (is_stopped()) return;
  if (!m_options.plain && host_take_line(unfinished_command(), line, m_msg_report)) return;
  IPC_COMMAND::process_line(line);
}

void TCL_RUN::line_failed(const std::string& error, const std::string& script) {
  ++m_failed_lines;
  if (m_options.on_error)
    call(m_options.on_error, {string_obj(error), string_obj(script)});
  else if (!m_options.quiet)
    std::fprintf(stderr, "ipc::run: %s\n", host_failed_line_text(error, script).c_str());
}

void TCL_RUN::reap_stopped_child(THR_PROCESS_EXIT_CODE* code) {
  const bool stopped = m_stop_requested || m_pacing.timed_out() || m_error;
  THR_PROCESS_EXIT_CODE reaped{0, 0};
  if (stopped && child_pid() != 0 && thr_process_wait(child_pid(), &reaped, 0) > 0) *code = reaped;
}

int TCL_RUN::exit_code_of(const THR_PROCESS_EXIT_CODE& code) const {
  // A program that could not be started exits as a shell would report it.
  if (const int error = exec_error()) return error == ENOENT ? 127 : 126;
  if (m_options.strict && code.exit_code == 0 && code.status == 0 &&
      m_failed_lines + m_stray_lines > 0)
    return STRICT_EXIT_CODE;
  return code.exit_code;
}

void TCL_RUN::call(const TCL_OBJ_REF& prefix, std::initializer_list<Tcl_Obj*> words) {
  Tcl_Obj* command = Tcl_DuplicateObj(prefix.get());
  Tcl_IncrRefCount(command);
  for (Tcl_Obj* word : words) Tcl_ListObjAppendElement(nullptr, command, word);
  if (m_error) {  // the run is ending already; nothing more reaches the application
    Tcl_DecrRefCount(command);
    return;
  }
  const int code = Tcl_EvalObjEx(m_interpreter, command, TCL_EVAL_GLOBAL);
  Tcl_DecrRefCount(command);
  if (code == TCL_ERROR) {
    m_error.reset(Tcl_GetObjResult(m_interpreter));
    m_error_options.reset(Tcl_GetReturnOptions(m_interpreter, code));
  }
  Tcl_ResetResult(m_interpreter);
}
