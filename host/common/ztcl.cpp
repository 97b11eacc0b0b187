#include "host/ztcl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/common/host_internal.h"
#include "host/msg.h"
#include "host/settings.h"

namespace {

// Moving a time limit re-creates a Tcl timer; a deadline this much early is still a fair bound,
// so a busy child does not pay for a new timer on every line.
constexpr long LIMIT_SLACK_MS = 50;
constexpr int TRACED = TCL_TRACE_RENAME | TCL_TRACE_DELETE;

// Commands a child line must not reach: they touch the system, wait, or reach other
// interpreters. The safe base already hides exec, open, file, cd, glob, source, load, socket,
// exit and the like; these go too.
constexpr const char* EXTRA_HIDDEN[] = {
    "after", "vwait", "update", "interp", "chan", "fcopy", "fileevent", "fconfigure", "close",
    "flush", "gets",  "read",   "puts",   "seek", "tell",  "eof",       "package",    "zlib"};

struct HOST_COMMAND {
  std::string name;
  Tcl_ObjCmdProc* proc;
  ClientData data;
};

struct BRIDGE {
  std::mutex mutex;  // guards everything but the counters
  Tcl_Interp* trusted = nullptr;
  Tcl_ThreadId thread = nullptr;
  bool adopted = false;
  std::vector<HOST_COMMAND> commands;
  std::vector<std::string> exposed;
  // Child interpreters compare these on every use: epoch changes with the trusted interpreter
  // (they are rebuilt), generation with the command lists (they are brought up to date).
  std::atomic<unsigned> epoch{1};
  std::atomic<unsigned> generation{1};
};

BRIDGE& bridge() {
  static BRIDGE* instance = new BRIDGE;  // outlives every thread's child interpreter
  return *instance;
}

thread_local ZTCL_ERROR_OBSERVER* error_observer = nullptr;
thread_local const ZTCL_RUN_POLICY* run_policy = nullptr;

// The live report handle the library put after a message command at the script's start, or "".
std::string inserted_handle(const std::string& script) {
  for (const char* command : {msg_tcl_post_cmd, msg_tcl_ie_cmd}) {
    const size_t length = std::strlen(command);
    if (script.compare(0, length, command) != 0 || script.compare(length, 3, " 0x") != 0) continue;
    const size_t end = script.find_first_of(" \t", length + 1);
    const std::string handle = script.substr(length + 1, end - length - 1);
    const uintptr_t value = std::strtoull(handle.c_str(), nullptr, 16);
    return MSG_REPORT::find_live(reinterpret_cast<const void*>(value)) ? handle : "";
  }
  return "";
}

std::string without_handle(std::string text, const std::string& handle) {
  for (size_t at = text.find(handle); at != std::string::npos; at = text.find(handle, at + 1))
    text.replace(at, handle.size(), "0");
  return text;
}

Tcl_Obj* new_string(const std::string& text) {
  return Tcl_NewStringObj(text.data(), static_cast<int>(text.size()));
}

// A failed line leaves its text in errorInfo, errorCode and the error stack, where the child's
// next line could read the report handle: there it becomes 0 again.
void scrub_handle(Tcl_Interp* interpreter, const std::string& handle) {
  Tcl_Obj* options = Tcl_GetReturnOptions(interpreter, TCL_ERROR);
  Tcl_IncrRefCount(options);
  Tcl_Obj* clean = new_string(without_handle(Tcl_GetString(options), handle));
  Tcl_IncrRefCount(clean);
  Tcl_DecrRefCount(options);
  Tcl_Obj* result = Tcl_GetObjResult(interpreter);
  Tcl_IncrRefCount(result);
  Tcl_SetReturnOptions(interpreter, clean);
  for (const char* name : {"errorInfo", "errorCode"}) {
    const char* value = Tcl_GetVar2(interpreter, name, nullptr, TCL_GLOBAL_ONLY);
    if (value != nullptr && std::strstr(value, handle.c_str()) != nullptr)
      Tcl_SetVar2Ex(interpreter, name, nullptr, new_string(without_handle(value, handle)),
                    TCL_GLOBAL_ONLY);
  }
  Tcl_SetObjResult(interpreter, result);
  Tcl_DecrRefCount(result);
  Tcl_DecrRefCount(clean);
}

void report_error(Tcl_Interp* interpreter, const std::string& script) {
  const std::string handle = inserted_handle(script);
  if (!handle.empty()) scrub_handle(interpreter, handle);
  if (error_observer != nullptr) {
    std::string shown(script.c_str());
    if (!handle.empty()) shown.replace(shown.find(handle), handle.size(), "0");
    error_observer->line_failed(Tcl_GetStringResult(interpreter), shown);
    return;
  }
  const char* info = Tcl_GetVar2(interpreter, "errorInfo", nullptr, TCL_GLOBAL_ONLY);
  host_debug_text("TCL", std::string("Tcl error: ") +
                             (info != nullptr ? info : Tcl_GetStringResult(interpreter)));
}

int evaluate(Tcl_Interp* interpreter, const std::string& script, std::string* result) {
  // Evaluation stops at a zero byte: the script is taken as a C string.
  int code = Tcl_EvalEx(interpreter, script.c_str(), -1, TCL_EVAL_GLOBAL);
  if (result != nullptr) *result = Tcl_GetStringResult(interpreter);
  if (code == TCL_ERROR) report_error(interpreter, script);
  return code;
}

long milliseconds_between(const Tcl_Time& from, const Tcl_Time& to) {
  return (to.sec - from.sec) * 1000 + (to.usec - from.usec) / 1000;
}

// An exposed command in a child interpreter off the trusted thread: the call, its words quoted as
// a list, is evaluated in the trusted interpreter on its thread.
struct FORWARDED_COMMAND {
  ZTCL_TRUSTED_FORWARDER* forwarder;
  std::string name;
};

int forwarded_command(ClientData data, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  const auto& command = *static_cast<FORWARDED_COMMAND*>(data);
  Tcl_Obj* call = Tcl_NewListObj(0, nullptr);
  Tcl_IncrRefCount(call);
  Tcl_ListObjAppendElement(nullptr, call, new_string(command.name));
  for (int i = 1; i < objc; ++i) Tcl_ListObjAppendElement(nullptr, call, objv[i]);
  std::string result;
  const int code = command.forwarder->evaluate_trusted(Tcl_GetString(call), &result);
  Tcl_DecrRefCount(call);
  Tcl_SetObjResult(interpreter, new_string(result));
  return code == TCL_ERROR ? TCL_ERROR : TCL_OK;
}

// A trusted line of a run off the trusted thread, evaluated there; a failure is heard as a child
// line's failure is.
int forward_line(ZTCL_TRUSTED_FORWARDER* forwarder, const std::string& script,
                 std::string* result) {
  std::string text;
  const int code = forwarder->evaluate_trusted(std::string(script.c_str()), &text);
  if (code == TCL_ERROR) {
    if (error_observer != nullptr)
      error_observer->line_failed(text, script.c_str());
    else
      host_debug_text("TCL", "Tcl error: " + text);
  }
  if (result != nullptr) *result = std::move(text);
  return code;
}

// The interpreter that hears child lines on one thread, with the host commands kept in it.
class CHILD_INTERPRETER {
 public:
  ~CHILD_INTERPRETER() {
    // Only a standalone interpreter is ours to delete at thread end; a child of the trusted
    // interpreter goes with it, on the trusted thread.
    if (m_interpreter == nullptr || !m_standalone) return;
    Tcl_DeleteInterp(m_interpreter);
    Tcl_FinalizeThread();
  }

  Tcl_Interp* current() {
    BRIDGE& b = bridge();
    if (m_epoch != b.epoch.load(std::memory_order_acquire)) drop();
    if (m_interpreter == nullptr) open();
    if (m_interpreter != nullptr && m_owned &&
        (m_damaged || m_generation != b.generation.load(std::memory_order_acquire)))
      install_commands();
    return m_interpreter;
  }

  // The interpreter when it is one of ours (not the borrowed trusted one), else null.
  Tcl_Interp* owned() const { return m_owned ? m_interpreter : nullptr; }

  // Brings an existing interpreter up to date; creates none.
  void refresh() {
    if (m_interpreter != nullptr) current();
  }

  int post(const std::string& script, std::string* result) {
    Tcl_Interp* interpreter = current();
    if (interpreter != nullptr && m_forward_lines)
      return forward_line(m_policy->forwarder, script, result);
    if (interpreter == nullptr) {
      host_debug_text("TCL", "no host interpreter; script dropped: " + script);
      return TCL_ERROR;
    }
    Tcl_Preserve(interpreter);
    arm_limit();
    int code = evaluate(interpreter, script, result);
    disarm_limit(interpreter);
    Tcl_Release(interpreter);
    return code;
  }

  // Deletes an owned interpreter; a borrowed or already deleted one is only forgotten.
  void drop() {
    if (m_interpreter != nullptr && m_owned && m_alive) {
      Tcl_Interp* interpreter = m_interpreter;
      m_interpreter = nullptr;
      Tcl_DeleteInterp(interpreter);
    }
    reset_state();
  }

  // The trusted interpreter is being deleted: a child of it dies with it.
  void forget_children_of_trusted() {
    if (!m_standalone) m_alive = false;
    drop();
  }

 private:
  void reset_state() {
    m_interpreter = nullptr;
    m_owned = m_standalone = m_alive = m_damaged = false;
    m_epoch = m_generation = 0;
    m_limit_ms = 0;
    m_policy = nullptr;
    m_has_run_deadline = false;
    m_deadline = Tcl_Time{0, 0};
    m_installed.clear();
    m_moved.clear();
    m_forward_lines = false;
    m_forwarded.clear();
  }

  void open() {
    BRIDGE& b = bridge();
    Tcl_Interp* trusted = nullptr;
    bool on_trusted_thread = false;
    {
      std::lock_guard<std::mutex> lock(b.mutex);
      trusted = b.trusted;
      on_trusted_thread = trusted != nullptr && b.thread == Tcl_GetCurrentThread();
      m_epoch = b.epoch.load();
    }
    if (trusted == nullptr) return;
    m_policy = run_policy;
    const ZTCL_RUN_POLICY settings = m_policy == nullptr ? ztcl_policy_from_settings() : *m_policy;
    bool trusted_mode = settings.trusted;
    m_limit_ms = trusted_mode ? 0 : settings.time_limit_ms;
    m_run_deadline = settings.deadline;
    m_has_run_deadline =
        !trusted_mode && m_run_deadline != std::chrono::steady_clock::time_point::max();
    m_alive = true;
    if (trusted_mode && on_trusted_thread) {
      m_interpreter = trusted;  // borrowed: the host commands are in it already
      m_owned = false;
      return;
    }
    m_owned = true;
    m_standalone = !on_trusted_thread;
    // Trusted lines of a worker's run go to the trusted thread; the safe interpreter here only
    // judges them and posts literal messages.
    m_forward_lines = trusted_mode && m_standalone && settings.forwarder != nullptr;
    if (m_forward_lines) trusted_mode = false;
    if (on_trusted_thread) {
      static std::atomic<unsigned> serial{0};
      const std::string name = "ipc_child" + std::to_string(++serial);
      m_interpreter = Tcl_CreateSlave(trusted, name.c_str(), 1);
    } else {
      m_interpreter = Tcl_CreateInterp();
      if (!trusted_mode) Tcl_MakeSafe(m_interpreter);
    }
    if (m_interpreter == nullptr) {
      host_debug_text("TCL", "cannot create a child interpreter");
      return;
    }
    if (!trusted_mode) {
      hide_extra_commands();
      ztcl_cap_child_commands(m_interpreter);
    }
    install_commands();
  }

  void hide_extra_commands() {
    for (const char* name : EXTRA_HIDDEN) {
      if (Tcl_HideCommand(m_interpreter, name, name) != TCL_OK) Tcl_ResetResult(m_interpreter);
    }
  }

  static void on_host_command_changed(ClientData data, Tcl_Interp*, const char*,
                                      const char* new_name, int) {
    auto* self = static_cast<CHILD_INTERPRETER*>(data);
    self->m_damaged = true;
    // A host command moved to another name must not stay reachable there.
    if (new_name != nullptr && *new_name != '\0') self->m_moved.emplace_back(new_name);
  }

  void watch(const std::string& name) {
    Tcl_TraceCommand(m_interpreter, name.c_str(), TRACED, on_host_command_changed, this);
    m_installed.push_back(name);
  }

  void remove_installed() {
    for (const std::string& name : m_installed)
      Tcl_UntraceCommand(m_interpreter, name.c_str(), TRACED, on_host_command_changed, this);
    for (const std::string& name : m_moved) {
      Tcl_UntraceCommand(m_interpreter, name.c_str(), TRACED, on_host_command_changed, this);
      Tcl_DeleteCommand(m_interpreter, name.c_str());
    }
    for (const std::string& name : m_installed) Tcl_DeleteCommand(m_interpreter, name.c_str());
    m_installed.clear();
    m_moved.clear();
  }

  // Puts the host's commands (and, on the trusted thread, the exposed ones) in the interpreter,
  // replacing whatever the child defined under their names.
  void install_commands() {
    remove_installed();
    BRIDGE& b = bridge();
    std::lock_guard<std::mutex> lock(b.mutex);
    m_generation = b.generation.load();
    for (const HOST_COMMAND& command : b.commands) {
      Tcl_CreateObjCommand(m_interpreter, command.name.c_str(), command.proc, command.data,
                           nullptr);
      watch(command.name);
    }
    if (!m_standalone && b.trusted != nullptr) {
      for (const std::string& name : m_policy != nullptr ? m_policy->exposed : b.exposed) {
        Tcl_CreateAlias(m_interpreter, name.c_str(), b.trusted, name.c_str(), 0, nullptr);
        watch(name);
      }
    }
    if (m_standalone && m_policy != nullptr && m_policy->forwarder != nullptr) {
      m_forwarded.clear();
      for (const std::string& name : m_policy->exposed) {
        m_forwarded.push_back(FORWARDED_COMMAND{m_policy->forwarder, name});
        Tcl_CreateObjCommand(m_interpreter, name.c_str(), forwarded_command, &m_forwarded.back(),
                             nullptr);
        watch(name);
      }
    }
    m_damaged = false;
  }

  bool limited() const { return m_limit_ms > 0 || m_has_run_deadline; }

  // The milliseconds the next evaluation may take: the time limit, or less when the run's
  // deadline comes first.
  long allowed_ms() const {
    long allowed = m_limit_ms > 0 ? m_limit_ms : LONG_MAX;
    if (!m_has_run_deadline) return allowed;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        m_run_deadline - std::chrono::steady_clock::now());
    return std::max(0L, std::min(allowed, static_cast<long>(left.count())));
  }

  void arm_limit() {
    if (!limited()) return;
    Tcl_Time now;
    Tcl_GetTime(&now);
    const long allowed = allowed_ms();
    const long earlier = milliseconds_between(m_deadline, now) + allowed;  // armed vs wanted
    if (earlier < 0 || earlier > LIMIT_SLACK_MS) {
      m_deadline = now;
      m_deadline.sec += allowed / 1000;
      m_deadline.usec += (allowed % 1000) * 1000;
      if (m_deadline.usec >= 1000000) {
        m_deadline.sec += 1;
        m_deadline.usec -= 1000000;
      }
      Tcl_LimitSetTime(m_interpreter, &m_deadline);
    }
    Tcl_LimitTypeSet(m_interpreter, TCL_LIMIT_TIME);
  }

  // Between evaluations the limit is off, so its timer never fires into an idle interpreter.
  void disarm_limit(Tcl_Interp* interpreter) {
    if (!limited() || interpreter != m_interpreter) return;
    if (Tcl_LimitTypeExceeded(interpreter, TCL_LIMIT_TIME)) m_deadline = Tcl_Time{0, 0};
    Tcl_LimitTypeReset(interpreter, TCL_LIMIT_TIME);  // also clears the exceeded state
  }

  Tcl_Interp* m_interpreter = nullptr;
  bool m_owned = false;       // created by us (else the borrowed trusted interpreter)
  bool m_standalone = false;  // not a child of the trusted interpreter
  bool m_alive = false;       // false once its parent took it down
  bool m_damaged = false;     // a host command was renamed or deleted by a child line
  unsigned m_epoch = 0;
  unsigned m_generation = 0;
  int m_limit_ms = 0;
  const ZTCL_RUN_POLICY* m_policy = nullptr;  // the thread's policy when it was made
  std::chrono::steady_clock::time_point m_run_deadline;
  bool m_has_run_deadline = false;
  Tcl_Time m_deadline{0, 0};
  std::vector<std::string> m_installed;
  std::vector<std::string> m_moved;
  bool m_forward_lines = false;               // a trusted run off the trusted thread
  std::deque<FORWARDED_COMMAND> m_forwarded;  // stable addresses for the commands' data
};

CHILD_INTERPRETER& this_thread_child() {
  thread_local CHILD_INTERPRETER child;
  return child;
}

void bump(std::atomic<unsigned>& counter) { counter.fetch_add(1, std::memory_order_acq_rel); }

void on_adopted_deleted(ClientData, Tcl_Interp*);

void detach_trusted() {
  BRIDGE& b = bridge();
  this_thread_child().forget_children_of_trusted();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.trusted = nullptr;
  b.thread = nullptr;
  b.adopted = false;
  bump(b.epoch);
}

// The application deleted the interpreter it lent us: nothing may reach it any more.
void on_adopted_deleted(ClientData, Tcl_Interp*) { detach_trusted(); }

void attach_trusted(Tcl_Interp* interpreter, bool adopted) {
  BRIDGE& b = bridge();
  std::vector<HOST_COMMAND> commands;
  {
    std::lock_guard<std::mutex> lock(b.mutex);
    b.trusted = interpreter;
    b.thread = Tcl_GetCurrentThread();
    b.adopted = adopted;
    commands = b.commands;
    bump(b.epoch);
  }
  for (const HOST_COMMAND& command : commands)
    Tcl_CreateObjCommand(interpreter, command.name.c_str(), command.proc, command.data, nullptr);
  if (adopted) Tcl_CallWhenDeleted(interpreter, on_adopted_deleted, nullptr);
}

// The trusted interpreter when the caller is on its thread, else null.
Tcl_Interp* trusted_here() {
  BRIDGE& b = bridge();
  std::lock_guard<std::mutex> lock(b.mutex);
  return b.trusted != nullptr && b.thread == Tcl_GetCurrentThread() ? b.trusted : nullptr;
}

}  // namespace

Tcl_Interp* ztcl_get_trusted_interpreter() {
  BRIDGE& b = bridge();
  std::lock_guard<std::mutex> lock(b.mutex);
  return b.trusted;
}

bool ztcl_is_trusted_thread() { return trusted_here() != nullptr; }

Tcl_Interp* ztcl_get_interpreter() { return this_thread_child().current(); }

int ztcl_post(const std::string& script, bool /*wait*/, std::string* result) {
  return this_thread_child().post(script, result);
}

ZTCL_ERROR_OBSERVER* ztcl_set_error_observer(ZTCL_ERROR_OBSERVER* observer) {
  ZTCL_ERROR_OBSERVER* previous = error_observer;
  error_observer = observer;
  return previous;
}

void ztcl_reset_child_interpreter() { this_thread_child().drop(); }

ZTCL_RUN_POLICY ztcl_policy_from_settings() {
  ZTCL_RUN_POLICY policy;
  policy.trusted = setting_on(SETTING_TCL_TRUSTED);
  policy.time_limit_ms = setting_number(SETTING_TCL_TIME_LIMIT);
  return policy;
}

SCOPED_ZTCL_RUN_POLICY::SCOPED_ZTCL_RUN_POLICY(ZTCL_RUN_POLICY policy)
    : m_policy(std::move(policy)), m_previous(run_policy) {
  run_policy = &m_policy;
  this_thread_child().drop();
}

SCOPED_ZTCL_RUN_POLICY::~SCOPED_ZTCL_RUN_POLICY() {
  this_thread_child().drop();
  run_policy = m_previous;
}

const ZTCL_RUN_POLICY* ztcl_run_policy() { return run_policy; }

bool ztcl_child_may_name_report(Tcl_Interp* interpreter, const void* report) {
  if (run_policy == nullptr || report == nullptr || report == run_policy->report) return true;
  return interpreter != this_thread_child().owned();
}

void ztcl_ptr_to_string(char* buffer, void* pointer) {
  std::snprintf(buffer, 56, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(pointer));
}

void ztcl_create_command(const char* name, Tcl_ObjCmdProc* proc, ClientData data) {
  BRIDGE& b = bridge();
  {
    std::lock_guard<std::mutex> lock(b.mutex);
    bool replaced = false;
    for (HOST_COMMAND& command : b.commands) {
      if (command.name != name) continue;
      command.proc = proc;
      command.data = data;
      replaced = true;
    }
    if (!replaced) b.commands.push_back(HOST_COMMAND{name, proc, data});
    bump(b.generation);
  }
  if (Tcl_Interp* trusted = trusted_here())
    Tcl_CreateObjCommand(trusted, name, proc, data, nullptr);
}

void ztcl_delete_command(const char* name) {
  BRIDGE& b = bridge();
  {
    std::lock_guard<std::mutex> lock(b.mutex);
    for (auto it = b.commands.begin(); it != b.commands.end();)
      it = it->name == name ? b.commands.erase(it) : it + 1;
    bump(b.generation);
  }
  if (Tcl_Interp* trusted = trusted_here()) Tcl_DeleteCommand(trusted, name);
  // The calling thread's child is brought up to date at once; others at their next use.
  this_thread_child().refresh();
}

void ztcl_expose_command(const std::string& name) {
  BRIDGE& b = bridge();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.exposed.push_back(name);
  bump(b.generation);
}

void ztcl_unexpose_all() {
  BRIDGE& b = bridge();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.exposed.clear();
  bump(b.generation);
}

Tcl_Interp* ztcl_open_interpreter(const char* argv0) {
  Tcl_FindExecutable(argv0);
  Tcl_Interp* interpreter = Tcl_CreateInterp();
  // Without its script library Tcl still evaluates commands; the host goes on without it.
  if (Tcl_Init(interpreter) != TCL_OK)
    host_debug_text("TCL", std::string("Tcl_Init failed: ") + Tcl_GetStringResult(interpreter));
  attach_trusted(interpreter, false);
  return interpreter;
}

void ztcl_adopt_interpreter(Tcl_Interp* interpreter) { attach_trusted(interpreter, true); }

void ztcl_close_interpreter() {
  Tcl_Interp* interpreter = nullptr;
  bool adopted = false;
  std::vector<HOST_COMMAND> commands;
  {
    BRIDGE& b = bridge();
    std::lock_guard<std::mutex> lock(b.mutex);
    interpreter = b.trusted;
    adopted = b.adopted;
    commands = b.commands;
  }
  if (interpreter == nullptr) return;
  if (adopted) Tcl_DontCallWhenDeleted(interpreter, on_adopted_deleted, nullptr);
  detach_trusted();
  if (!adopted) {
    Tcl_DeleteInterp(interpreter);
    return;
  }
  // A borrowed interpreter stays the application's; only what we put in it goes.
  for (const HOST_COMMAND& command : commands) Tcl_DeleteCommand(interpreter, command.name.c_str());
}
