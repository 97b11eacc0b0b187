// Tcl bridge: the host's trusted interpreter and the child interpreters that hear child output.
//
// What a child prints is untrusted: by default its lines are judged and evaluated in a safe child
// interpreter that offers the host commands and the safe Tcl core, hides everything that reaches
// the system or waits, and cuts every evaluation off after "tcl_time_limit" milliseconds (default
// 2000, 0 for none). With "tcl_trusted" on, child lines go to the trusted interpreter as they are.
// Each thread has its own child interpreter; no Tcl call ever crosses threads. A run installs its
// own policy (trust, exposed commands, time limit, report, deadline) on its thread with
// SCOPED_ZTCL_RUN_POLICY; without one the settings above apply.
#pragma once

#include <tcl.h>

#include <chrono>
#include <string>
#include <vector>

// The host's own (trusted) interpreter, or null before host_start/host_adopt and after host_stop.
Tcl_Interp* ztcl_get_trusted_interpreter();

// True on the thread the trusted interpreter belongs to (the only thread that serves its events).
bool ztcl_is_trusted_thread();

// The interpreter that judges and evaluates child lines on the calling thread, created on first
// use: in trusted mode the trusted interpreter on its thread, else the thread's safe child
// interpreter. Null while the host has no trusted interpreter.
Tcl_Interp* ztcl_get_interpreter();

// Evaluates script at global level in ztcl_get_interpreter() of the calling thread, at once;
// *result (if given) receives the result text. wait is accepted for the contract's sake: nothing
// is ever queued. An error or a cut-off goes to the debug channel and never stops the caller.
int ztcl_post(const std::string& script, bool wait, std::string* result);

// Hears the child lines that fail on one thread: a Tcl error, a cut-off, a refused command.
class ZTCL_ERROR_OBSERVER {
 public:
  virtual ~ZTCL_ERROR_OBSERVER() = default;
  // error is the interpreter's result, script the text that failed (up to its first zero byte).
  virtual void line_failed(const std::string& error, const std::string& script) = 0;
};

// Sends the failures of ztcl_post on the calling thread to observer instead of the debug
// channel (null: back to the debug channel); returns the observer it replaces.
ZTCL_ERROR_OBSERVER* ztcl_set_error_observer(ZTCL_ERROR_OBSERVER* observer);

// Carries to the trusted thread what a run on another thread may not evaluate there itself:
// calls of exposed commands and, for a trusted run, its lines.
class ZTCL_TRUSTED_FORWARDER {
 public:
  virtual ~ZTCL_TRUSTED_FORWARDER() = default;
  // Evaluates script at global level in the trusted interpreter on its thread, waiting for it;
  // the Tcl return code, *result the result text.
  virtual int evaluate_trusted(const std::string& script, std::string* result) = 0;
};

// What one run lets its child lines do; travels with the run, never through the settings.
struct ZTCL_RUN_POLICY {
  bool trusted = false;              // evaluate in the trusted interpreter (its thread) or unsafe
  std::vector<std::string> exposed;  // trusted-interpreter commands the child may call
  int time_limit_ms = 2000;          // cut-off of each evaluation; 0 for none
  const void* report = nullptr;      // the run's MSG_REPORT: the only handle its lines may name
  std::chrono::steady_clock::time_point deadline =  // no evaluation of the run goes past it
      std::chrono::steady_clock::time_point::max();
  // Off the trusted thread: where exposed commands and trusted lines go; null, they are not
  // offered there (trusted lines then run in an unsafe interpreter of the thread).
  ZTCL_TRUSTED_FORWARDER* forwarder = nullptr;
};

// The policy the settings give: "tcl_trusted", "tcl_time_limit"; nothing exposed, no report.
ZTCL_RUN_POLICY ztcl_policy_from_settings();

// Puts a run's policy in force on the calling thread for the scope's life, each end with a fresh
// child interpreter; scopes nest. Create and destroy it on the run's thread.
class SCOPED_ZTCL_RUN_POLICY {
 public:
  explicit SCOPED_ZTCL_RUN_POLICY(ZTCL_RUN_POLICY policy);
  ~SCOPED_ZTCL_RUN_POLICY();
  SCOPED_ZTCL_RUN_POLICY(const SCOPED_ZTCL_RUN_POLICY&) = delete;
  SCOPED_ZTCL_RUN_POLICY& operator=(const SCOPED_ZTCL_RUN_POLICY&) = delete;

 private:
  ZTCL_RUN_POLICY m_policy;
  const ZTCL_RUN_POLICY* m_previous;
};

// The policy in force on the calling thread, or null.
const ZTCL_RUN_POLICY* ztcl_run_policy();

// Drops the calling thread's child interpreter; the next use creates a fresh one, reading the
// thread's policy, or "tcl_trusted" and "tcl_time_limit" again. Call it between runs so no child's
// definitions reach the next child.
void ztcl_reset_child_interpreter();

// Writes the pointer's Tcl text ("0x..." , NUL-terminated) into a 56-byte buffer.
void ztcl_ptr_to_string(char* buffer, void* pointer);

// Creates (or replaces) a host command implemented in C++: in the trusted interpreter when called
// on its thread, and in every child interpreter, present or future, of every thread.
void ztcl_create_command(const char* name, Tcl_ObjCmdProc* proc, ClientData data);

// Deletes a host command created by ztcl_create_command, wherever it was created.
void ztcl_delete_command(const char* name);

// Makes a command of the trusted interpreter (for example a proc the host defined) callable from
// the child interpreters of the trusted thread that run without a policy (a policy brings its
// own list); it runs in the trusted interpreter with its powers. Child interpreters of other
// threads cannot reach the trusted one and do not get it.
void ztcl_expose_command(const std::string& name);

// Withdraws every exposed command.
void ztcl_unexpose_all();
