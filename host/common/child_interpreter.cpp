// The interpreter that hears child lines on one thread: safe (or trusted, or forwarding to the
// trusted thread) as the run's policy says, the host commands kept in it, each evaluation bound by
// the time limit and the run's deadline.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "host/common/host_internal.h"
#include "host/common/tcl_bridge.h"
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
    m_policy = ztcl_thread_policy;
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

}  // namespace

Tcl_Interp* thread_child_current() { return this_thread_child().current(); }
Tcl_Interp* thread_child_owned() { return this_thread_child().owned(); }
int thread_child_post(const std::string& script, std::string* result) {
  return this_thread_child().post(script, result);
}
void thread_child_drop() { this_thread_child().drop(); }
void thread_child_refresh() { this_thread_child().refresh(); }
void thread_child_forget_trusted() { this_thread_child().forget_children_of_trusted(); }
