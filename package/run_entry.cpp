// A run on the application's thread: its worker's start and join, its callbacks, its result.
#include "package/run_entry.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "ipc/ipc_command.h"
#include "package/tcl_run.h"

namespace {

// Items a worker may have queued before it waits: a batch the application serves in a few
// milliseconds, so a flooding backend cannot make the GUI sluggish or take the memory.
constexpr size_t QUEUE_CAPACITY = 2048;

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

struct WORK {
  RUN_SETTINGS settings;
  std::shared_ptr<RUN_CHANNEL> channel;
};

// The run, then its end as the last item.
void execute(const WORK& work) {
  RUN_ITEM end(RUN_ITEM::END);
  {
    TCL_RUN run(work.settings, work.channel);
    end.end = run.execute();
  }
  work.channel->push(std::move(end));
  work.channel->mark_finished();
}

Tcl_ThreadCreateType work(ClientData data) {
  std::unique_ptr<WORK> work(static_cast<WORK*>(data));
  execute(*work);
  TCL_THREAD_CREATE_RETURN;
}

}  // namespace

RUN_ENTRY::RUN_ENTRY(Tcl_Interp* interpreter, long number, std::unique_ptr<RUN_OPTIONS> options)
    : m_interpreter(interpreter),
      m_token("ipc" + std::to_string(number)),
      m_options(std::move(options)),
      m_channel(std::make_shared<RUN_CHANNEL>(number, Tcl_GetCurrentThread(), QUEUE_CAPACITY)) {
  Tcl_Preserve(m_interpreter);
}

RUN_ENTRY::~RUN_ENTRY() {
  abandon(std::chrono::seconds(5));
  watch_stop_variable(false);
  Tcl_Release(m_interpreter);
}

bool RUN_ENTRY::start() {
  // The library serves a pool only on the process's first thread, the application's: such a run
  // goes on there, the application's events served between its passes as a worker's would be.
  if (m_options->pool) {
    m_started = m_joined = true;
    watch_stop_variable(true);
    execute(WORK{*m_options, m_channel});
    return true;
  }
  auto* work = new WORK{*m_options, m_channel};
  if (Tcl_CreateThread(&m_worker, ::work, work, TCL_THREAD_STACK_DEFAULT, TCL_THREAD_JOINABLE) !=
      TCL_OK) {
    delete work;
    Tcl_SetObjResult(m_interpreter,
                     Tcl_NewStringObj("ipc: cannot start a thread for the run (ulimit -u?)", -1));
    return false;
  }
  m_started = true;
  watch_stop_variable(true);
  return true;
}

void RUN_ENTRY::abandon(std::chrono::milliseconds bound) {
  if (!m_started || m_joined) return;
  if (!m_ended) m_channel->abandon();
  // A worker stuck past the bound is left behind rather than holding up the exit.
  if (!m_channel->wait_finished(bound)) return;
  int status = 0;
  Tcl_JoinThread(m_worker, &status);
  m_joined = true;
}

void RUN_ENTRY::stop() {
  if (m_ended) return;
  m_stopped = true;
  m_channel->request_stop();
}

void RUN_ENTRY::deliver() {
  if (m_delivering) {
    m_deliver_again = true;
    return;
  }
  m_delivering = true;
  Tcl_Preserve(m_interpreter);
  do {
    m_deliver_again = false;
    std::vector<RUN_ITEM> batch = m_channel->take();
    for (RUN_ITEM& item : batch) handle(item);
  } while (m_deliver_again);
  Tcl_Release(m_interpreter);
  m_delivering = false;
}

void RUN_ENTRY::handle(RUN_ITEM& item) {
  const RUN_OPTIONS& o = *m_options;
  switch (item.kind) {
    case RUN_ITEM::MESSAGE: {
      ++m_messages;
      Tcl_Obj* id = item.first != 0 ? Tcl_NewLongObj(item.first) : Tcl_NewObj();
      call(o.on_message.get(),
           {Tcl_NewStringObj(msg_kind_names(item.severity).word, -1), id, string_obj(item.text)});
      return;
    }
    case RUN_ITEM::STRAY:
      return call(o.on_stray.get(), {string_obj(item.text)});
    case RUN_ITEM::FAILED:
      return call(o.on_error.get(), {string_obj(item.text), string_obj(item.extra)});
    case RUN_ITEM::PROGRESS:
      return call(o.on_progress.get(),
                  {Tcl_NewLongObj(item.first), Tcl_NewLongObj(item.second), string_obj(item.text)});
    case RUN_ITEM::POOL:
      return call(o.on_pool.get(), {Tcl_NewStringObj(item.extra.c_str(), -1),
                                    Tcl_NewLongObj(item.first), string_obj(item.text)});
    case RUN_ITEM::FORWARD:
      return forward(item);
    case RUN_ITEM::END:
      return finish(item.end);
  }
}

// An exposed command or a trusted line, in the application's interpreter with the run's
// routing, so what it posts is the run's.
void RUN_ENTRY::forward(const RUN_ITEM& item) {
  if (m_error) {
    m_channel->answer(TCL_ERROR, "the run is stopped");
    return;
  }
  int code = TCL_OK;
  {
    TCL_RUN::ROUTING routing(item.origin);
    code = Tcl_EvalEx(m_interpreter, item.text.c_str(), -1, TCL_EVAL_GLOBAL);
  }
  m_channel->answer(code, Tcl_GetStringResult(m_interpreter));
  Tcl_ResetResult(m_interpreter);
}

void RUN_ENTRY::call(Tcl_Obj* prefix, std::initializer_list<Tcl_Obj*> words) {
  Tcl_Obj* command = Tcl_DuplicateObj(prefix);
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
    m_channel->request_stop();
  }
  Tcl_ResetResult(m_interpreter);
}

void RUN_ENTRY::finish(const RUN_END& end) {
  m_ended = true;
  watch_stop_variable(false);
  m_result.reset(result_dict(end));
  abandon(std::chrono::seconds(5));  // the worker has only its thread's end left
  if (m_options->on_complete) {
    TCL_OBJ_REF keep;
    keep.reset(m_options->on_complete.get());
    Tcl_Obj* command = Tcl_DuplicateObj(keep.get());
    Tcl_IncrRefCount(command);
    Tcl_ListObjAppendElement(nullptr, command, string_obj(m_token));
    Tcl_ListObjAppendElement(nullptr, command, m_result.get());
    if (Tcl_EvalObjEx(m_interpreter, command, TCL_EVAL_GLOBAL) == TCL_ERROR)
      Tcl_BackgroundException(m_interpreter, TCL_ERROR);
    Tcl_DecrRefCount(command);
    Tcl_ResetResult(m_interpreter);
  }
}

Tcl_Obj* RUN_ENTRY::result_dict(const RUN_END& end) const {
  const RUN_OPTIONS& o = *m_options;
  Tcl_Obj* dict = Tcl_NewDictObj();
  put(dict, "ok", Tcl_NewIntObj(end.ok ? 1 : 0));
  put(dict, "title", string_obj(IPC_COMMAND::title_of(o.command_line, o.title)));
  put(dict, "status", Tcl_NewIntObj(end.code.status));
  put(dict, "exit_code", Tcl_NewIntObj(end.exit_code));
  put(dict, "signal", string_obj(signal_name(end.code.status)));
  put(dict, "stopped", Tcl_NewIntObj(m_stopped || end.timed_out ? 1 : 0));
  put(dict, "timed_out", Tcl_NewIntObj(end.timed_out ? 1 : 0));
  put(dict, "exec_error", string_obj(end.exec_error != 0 ? errno_name(end.exec_error) : ""));
  put(dict, "failed_lines", Tcl_NewIntObj(end.failed_lines));
  put(dict, "stray_lines", Tcl_NewIntObj(end.stray_lines));
  if (m_error) put(dict, "error", m_error.get());
  return dict;
}

int RUN_ENTRY::raise_result() const {
  if (m_error) {
    Tcl_SetObjResult(m_interpreter, m_error.get());
    return Tcl_SetReturnOptions(m_interpreter, m_error_options.get());
  }
  Tcl_SetObjResult(m_interpreter, m_result.get());
  return TCL_OK;
}

Tcl_Obj* RUN_ENTRY::info() const {
  const RUN_OPTIONS& o = *m_options;
  Tcl_Obj* dict = Tcl_NewDictObj();
  put(dict, "title", string_obj(IPC_COMMAND::title_of(o.command_line, o.title)));
  const char* state = m_ended ? "ended" : m_channel->stop_requested() ? "stopping" : "running";
  put(dict, "state", Tcl_NewStringObj(state, -1));
  put(dict, "pid", Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(m_channel->pid.load())));
  put(dict, "messages", Tcl_NewLongObj(m_messages));
  if (m_ended) put(dict, "result", m_result.get());
  return dict;
}

void RUN_ENTRY::watch_stop_variable(bool on) {
  const std::string& name = m_options->stop_variable;
  if (name.empty()) return;
  constexpr int FLAGS = TCL_GLOBAL_ONLY | TCL_TRACE_WRITES;
  Tcl_UntraceVar2(m_interpreter, name.c_str(), nullptr, FLAGS, on_stop_variable, this);
  if (!on) return;
  Tcl_TraceVar2(m_interpreter, name.c_str(), nullptr, FLAGS, on_stop_variable, this);
  on_stop_variable(this, m_interpreter, nullptr, nullptr, 0);  // already true: stop at once
}

char* RUN_ENTRY::on_stop_variable(ClientData data, Tcl_Interp* interpreter, const char*,
                                  const char*, int) {
  auto* self = static_cast<RUN_ENTRY*>(data);
  Tcl_Obj* value =
      Tcl_GetVar2Ex(interpreter, self->m_options->stop_variable.c_str(), nullptr, TCL_GLOBAL_ONLY);
  int on = 0;
  if (value != nullptr && Tcl_GetBooleanFromObj(nullptr, value, &on) == TCL_OK && on != 0)
    self->stop();
  return nullptr;
}
