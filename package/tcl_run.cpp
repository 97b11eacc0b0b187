// A run's worker side: the library's run, with everything the run says handed to its channel.
#include "package/tcl_run.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "host/thr_process.h"
#include "services/helper_pool.h"
#include "services/literal_message.h"
#include "services/stray_output.h"

namespace {

thread_local TCL_RUN* routed_run = nullptr;

// -strict: the data error of sysexits, as ipc_run --strict exits.
constexpr int STRICT_EXIT_CODE = 65;

// What the child's lines may do in this run: -trusted, -expose, -timeout as the deadline; what
// must run in the application's interpreter goes through forwarder.
ZTCL_RUN_POLICY run_policy(const RUN_SETTINGS& settings, ZTCL_TRUSTED_FORWARDER* forwarder) {
  ZTCL_RUN_POLICY policy = ztcl_policy_from_settings();
  policy.trusted = settings.trusted;
  policy.exposed = settings.exposed;
  policy.forwarder = forwarder;
  if (settings.timeout_ms > 0)
    policy.deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.timeout_ms);
  return policy;
}

RUN_ITEM item_of(RUN_ITEM::KIND kind, std::string text, std::string extra = std::string()) {
  RUN_ITEM item{kind};
  item.text = std::move(text);
  item.extra = std::move(extra);
  return item;
}

}  // namespace

TCL_RUN::ROUTING::ROUTING(TCL_RUN* run)
    : m_sinks(run->m_settings.has_on_message ? &run->m_message_sink : nullptr, &run->m_debug_sink),
      m_previous(routed_run) {
  routed_run = run;
}

TCL_RUN::ROUTING::~ROUTING() { routed_run = m_previous; }

TCL_RUN::TCL_RUN(const RUN_SETTINGS& settings, std::shared_ptr<RUN_CHANNEL> channel)
    : m_settings(settings),
      m_channel(std::move(channel)),
      m_message_sink([this](const MSG_RECORD& record) { on_message(record); }),
      m_debug_sink([this](const MSG_RECORD& record) { on_debug_record(record); }),
      m_policy(run_policy(settings, this)),
      m_routing(this) {
  if (settings.plain) disable_tcl_mode();
  if (settings.no_stderr) disable_stderr_capture();
  m_pacing.set_timeout(std::chrono::milliseconds(settings.timeout_ms));
  m_previous_observer = ztcl_set_error_observer(this);
}

TCL_RUN::~TCL_RUN() { ztcl_set_error_observer(m_previous_observer); }

TCL_RUN* TCL_RUN::routed_here() { return routed_run; }

RUN_END TCL_RUN::execute() {
  RUN_END end;
  if (m_settings.pool)
    end.ok = run_with_pool(&end.code);
  else
    end.ok = run(m_settings.command_line, m_settings.process_option, m_settings.shell, &end.code,
                 m_settings.title, m_settings.named_pipe);
  reap_stopped_child(&end.code);
  // Text that never became a complete command is stray too.
  if (!unfinished_command().empty()) report_stray(unfinished_command());
  end.exec_error = exec_error();
  end.timed_out = m_pacing.timed_out();
  end.failed_lines = m_failed_lines;
  end.stray_lines = m_stray_lines;
  end.exit_code = exit_code_of(end.code);
  return end;
}

// The helpers are started first: the library connects to their pipes as the child starts.
bool TCL_RUN::run_with_pool(THR_PROCESS_EXIT_CODE* code) {
  HELPER_POOL pool([this](const POOL_EVENT& event) { on_pool_event(event); });
  std::string error;
  bool ok = pool.start(*m_settings.pool, &error);
  if (!ok)
    on_pool_event({POOL_EVENT_KIND::FAILED, -1, error});
  else
    ok = run_with_named_pipe(m_settings.command_line, m_settings.process_option, m_settings.shell,
                             code, m_settings.title, m_settings.named_pipe, true, pool.to_helpers(),
                             pool.from_helpers(), pool.helper_count(),
                             m_settings.pool->partition_count);
  // A failed or stopped run leaves helpers waiting for orders.
  if (!ok || is_stopped()) pool.terminate_all();
  pool.finish();
  return ok && !pool.failed();
}

// On the pool's thread. Without -onpool what the pool says joins the run's messages.
void TCL_RUN::on_pool_event(const POOL_EVENT& event) {
  if (pool_event_ends_run(event.kind)) m_pool_failed = true;
  if (m_settings.has_on_pool) {
    RUN_ITEM item = item_of(RUN_ITEM::POOL, event.text, pool_event_word(event.kind));
    item.first = event.helper;
    m_channel->push(std::move(item));
    return;
  }
  const MSG_RECORD record = pool_event_record(event);
  if (record.kind == MSG_KIND::DEBUG) {
    if (m_settings.debug_was_on)
      std::fprintf(stderr, "DEBUG POOL: %s\n", host_printable_lines(record.text).c_str());
  } else if (m_settings.has_on_message) {
    on_message(record);
  } else {
    msg_deliver_default(record);
  }
}

bool TCL_RUN::is_stopped() {
  m_pacing.pass();
  if (m_channel->pid == 0) m_channel->pid = child_pid();
  return m_pacing.timed_out() || m_channel->stop_requested() || m_pool_failed;
}

void TCL_RUN::progress(long done, long total, const std::string& text) {
  if (!m_settings.has_on_progress) return;
  RUN_ITEM item = item_of(RUN_ITEM::PROGRESS, text);
  item.first = done;
  item.second = total;
  m_channel->push(std::move(item));
}

void TCL_RUN::on_message(const MSG_RECORD& record) {
  if (record.kind == MSG_KIND::DEBUG) return;
  RUN_ITEM item = item_of(RUN_ITEM::MESSAGE, record.text);
  item.severity = record.kind;
  item.first = static_cast<long>(record.id);
  m_channel->push(std::move(item));
}

void TCL_RUN::on_debug_record(const MSG_RECORD& record) {
  std::string_view stray;
  if (host_stray_text_of(record, &stray)) {
    report_stray(stray);
    return;
  }
  // Only debug output the application had on before its runs is shown, as the host shows it.
  if (m_settings.debug_was_on)
    std::fprintf(stderr, "DEBUG %s: %s\n", record.module.c_str(),
                 host_printable_lines(record.text).c_str());
}

void TCL_RUN::report_stray(std::string_view text) {
  for (std::string_view line : host_stray_lines(text)) {
    ++m_stray_lines;
    if (m_settings.has_on_stray)
      m_channel->push(item_of(RUN_ITEM::STRAY, std::string(line)));
    else if (!m_settings.quiet)
      std::fprintf(stderr, "ipc::run: stray output: %s\n", host_printable(line).c_str());
  }
}

void TCL_RUN::process_line(const std::string& line) {
  // One read may hold thousands of lines: a stop is served between them, not only between reads.
  if (is_stopped()) return;
  if (m_settings.trusted && !m_settings.plain && unfinished_command().empty())
    offer_trusted_word(line);
  if (!m_settings.plain && host_take_line(unfinished_command(), line, m_msg_report)) return;
  IPC_COMMAND::process_line(line);
}

void TCL_RUN::offer_trusted_word(const std::string& line) {
  Tcl_Interp* here = ztcl_get_interpreter();
  const std::string word = line.substr(0, std::strcspn(line.c_str(), " \t"));
  if (here == nullptr || word.empty() || word.size() > 200 ||
      Tcl_FindCommand(here, word.c_str(), nullptr, TCL_GLOBAL_ONLY) != nullptr)
    return;
  Tcl_Obj* query = Tcl_NewListObj(0, nullptr);
  Tcl_IncrRefCount(query);
  for (const char* part : {"namespace", "which", "-command"})
    Tcl_ListObjAppendElement(nullptr, query, Tcl_NewStringObj(part, -1));
  Tcl_ListObjAppendElement(nullptr, query, Tcl_NewStringObj(word.c_str(), -1));
  std::string found;
  const int code = m_channel->forward(Tcl_GetString(query), &found, this);
  Tcl_DecrRefCount(query);
  // Never called: the run's lines are evaluated in the application's interpreter.
  if (code == TCL_OK && !found.empty())
    Tcl_CreateObjCommand(
        here, word.c_str(), [](ClientData, Tcl_Interp*, int, Tcl_Obj* const[]) { return TCL_OK; },
        nullptr, nullptr);
}

void TCL_RUN::line_failed(const std::string& error, const std::string& script) {
  ++m_failed_lines;
  if (m_settings.has_on_error)
    m_channel->push(item_of(RUN_ITEM::FAILED, error, script));
  else if (!m_settings.quiet)
    std::fprintf(stderr, "ipc::run: %s\n", host_failed_line_text(error, script).c_str());
}

int TCL_RUN::evaluate_trusted(const std::string& script, std::string* result) {
  return m_channel->forward(script, result, this);
}

void TCL_RUN::reap_stopped_child(THR_PROCESS_EXIT_CODE* code) {
  const bool stopped = m_channel->stop_requested() || m_pacing.timed_out();
  THR_PROCESS_EXIT_CODE reaped{0, 0};
  if (stopped && child_pid() != 0 && thr_process_wait(child_pid(), &reaped, 0) > 0) *code = reaped;
}

int TCL_RUN::exit_code_of(const THR_PROCESS_EXIT_CODE& code) const {
  // A program that could not be started exits as a shell would report it.
  if (const int error = exec_error()) return error == ENOENT ? 127 : 126;
  if (m_settings.strict && code.exit_code == 0 && code.status == 0 &&
      m_failed_lines + m_stray_lines > 0)
    return STRICT_EXIT_CODE;
  return code.exit_code;
}
