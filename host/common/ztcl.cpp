// The Tcl bridge's contract: the trusted interpreter, the commands given to every child
// interpreter, the per-thread observer and run policy, and the calls into the thread's child.
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
#include "host/common/tcl_bridge.h"
#include "host/msg.h"
#include "host/settings.h"

thread_local ZTCL_ERROR_OBSERVER* ztcl_thread_observer = nullptr;
thread_local const ZTCL_RUN_POLICY* ztcl_thread_policy = nullptr;

namespace {

void bump(std::atomic<unsigned>& counter) { counter.fetch_add(1, std::memory_order_acq_rel); }

void on_adopted_deleted(ClientData, Tcl_Interp*);

void detach_trusted() {
  BRIDGE& b = bridge();
  thread_child_forget_trusted();
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

Tcl_Interp* ztcl_get_interpreter() { return thread_child_current(); }

int ztcl_post(const std::string& script, bool /*wait*/, std::string* result) {
  return thread_child_post(script, result);
}

ZTCL_ERROR_OBSERVER* ztcl_set_error_observer(ZTCL_ERROR_OBSERVER* observer) {
  ZTCL_ERROR_OBSERVER* previous = ztcl_thread_observer;
  ztcl_thread_observer = observer;
  return previous;
}

void ztcl_reset_child_interpreter() { thread_child_drop(); }

ZTCL_RUN_POLICY ztcl_policy_from_settings() {
  ZTCL_RUN_POLICY policy;
  policy.trusted = setting_on(SETTING_TCL_TRUSTED);
  policy.time_limit_ms = setting_number(SETTING_TCL_TIME_LIMIT);
  return policy;
}

SCOPED_ZTCL_RUN_POLICY::SCOPED_ZTCL_RUN_POLICY(ZTCL_RUN_POLICY policy)
    : m_policy(std::move(policy)), m_previous(ztcl_thread_policy) {
  ztcl_thread_policy = &m_policy;
  thread_child_drop();
}

SCOPED_ZTCL_RUN_POLICY::~SCOPED_ZTCL_RUN_POLICY() {
  thread_child_drop();
  ztcl_thread_policy = m_previous;
}

const ZTCL_RUN_POLICY* ztcl_run_policy() { return ztcl_thread_policy; }

bool ztcl_child_may_name_report(Tcl_Interp* interpreter, const void* report) {
  if (ztcl_thread_policy == nullptr || report == nullptr || report == ztcl_thread_policy->report)
    return true;
  return interpreter != thread_child_owned();
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
  thread_child_refresh();
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
