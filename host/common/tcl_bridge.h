// The Tcl bridge's shared state, inside the host layer: the trusted interpreter with the host
// commands, the calling thread's child interpreter, and the thread's observer and run policy.
#pragma once

#include <tcl.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "host/ztcl.h"

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

// The one bridge of the process; never destroyed, as it outlives every thread's child interpreter.
inline BRIDGE& bridge() {
  static BRIDGE* instance = new BRIDGE;
  return *instance;
}

// The calling thread's observer of failed lines and its run policy (null: none).
extern thread_local ZTCL_ERROR_OBSERVER* ztcl_thread_observer;
extern thread_local const ZTCL_RUN_POLICY* ztcl_thread_policy;

// What a failed child line leaves: the report handle scrubbed from what the child can read, then
// the failure told to the thread's observer or the debug channel.
void report_error(Tcl_Interp* interpreter, const std::string& script);

// An exposed command in a child interpreter off the trusted thread, and its command procedure:
// the call is evaluated in the trusted interpreter on its thread.
struct FORWARDED_COMMAND {
  ZTCL_TRUSTED_FORWARDER* forwarder;
  std::string name;
};
int forwarded_command(ClientData data, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]);

// A trusted line of a run off the trusted thread, evaluated there; a failure is heard as a child
// line's failure is.
int forward_line(ZTCL_TRUSTED_FORWARDER* forwarder, const std::string& script, std::string* result);

// The calling thread's child interpreter (created on first use): the one to judge and evaluate
// child lines, its evaluation of a line, forgetting it, bringing it up to date, and letting it go
// with the trusted interpreter.
Tcl_Interp* thread_child_current();
Tcl_Interp* thread_child_owned();
int thread_child_post(const std::string& script, std::string* result);
void thread_child_drop();
void thread_child_refresh();
void thread_child_forget_trusted();
