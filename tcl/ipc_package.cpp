// The Tcl package "ipc": lets a Tcl or Tk application run its backends through the library.
// The interpreter that loads it becomes the host's trusted interpreter; its event loop is served
// while a run goes on.
#include <tcl.h>

#include <memory>
#include <string>

#include "host/host.h"
#include "host/progress.h"
#include "host/stop_signals.h"
#include "host/ztcl.h"
#include "ipc/ipc_export.h"
#include "tcl/run_options.h"
#include "tcl/tcl_run.h"

namespace {

constexpr const char* PACKAGE_NAME = "ipc";
constexpr const char* PACKAGE_VERSION = "1.0";

// Created with the first adoption, never destroyed: the command serves every later interpreter
// too, and nothing may reach Tcl while the process exits.
SCOPED_PROGRESS_COMMAND* progress_command = nullptr;

int error(Tcl_Interp* interpreter, const char* text) {
  Tcl_SetObjResult(interpreter, Tcl_NewStringObj(text, -1));
  return TCL_ERROR;
}

// ipc::run ?options? ?--? command ?arg ...?
int run_command(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (TCL_RUN::active() != nullptr)
    return error(interpreter,
                 "ipc::run: a run is in progress already; ipc::run cannot start another one "
                 "from a callback or event handler until it returns");
  if (ztcl_get_trusted_interpreter() != interpreter)
    return error(interpreter, "ipc::run: this interpreter is no longer the host's");
  RUN_OPTIONS options;
  if (!parse_run_options(interpreter, objc, objv, &options)) return TCL_ERROR;
  TCL_RUN run(interpreter, options);
  return run.execute();
}

// ipc::send TEXT
int send_command(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc != 2) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "text");
    return TCL_ERROR;
  }
  // Every command broadcasts to the same connected pipes; outside a run a bare one does.
  IPC_COMMAND* sender = TCL_RUN::active();
  std::unique_ptr<IPC_COMMAND> bare;
  if (sender == nullptr) sender = (bare = std::make_unique<IPC_COMMAND>()).get();
  const bool sent = sender->send_through_pipe(Tcl_GetString(objv[1]));
  Tcl_SetObjResult(interpreter, Tcl_NewIntObj(sent ? 1 : 0));
  return TCL_OK;
}

void report_progress(long done, long total, const std::string& text) {
  if (TCL_RUN* run = TCL_RUN::active()) run->progress(done, total, text);
}

}  // namespace

extern "C" IPC_EXPORT int Ipc_Init(Tcl_Interp* interpreter) {
  if (Tcl_PkgRequire(interpreter, "Tcl", "8.6", 0) == nullptr) return TCL_ERROR;
  Tcl_Interp* trusted = ztcl_get_trusted_interpreter();
  if (trusted != nullptr && trusted != interpreter)
    return error(interpreter,
                 "package ipc serves one interpreter per process and is loaded in another one");
  if (trusted == nullptr) {
    // Ctrl-C, SIGHUP and SIGTERM end the application as they would, its children first, even
    // while it is blocked on a write; a signal it ignores stays ignored.
    static const int signals_error = host_receive_stop_signals(host_die_by_signal);
    if (signals_error != 0) return error(interpreter, "package ipc cannot start its signal thread");
    host_adopt(interpreter);
    if (progress_command == nullptr)
      progress_command = new SCOPED_PROGRESS_COMMAND(report_progress);
  }
  Tcl_CreateObjCommand(interpreter, "::ipc::run", run_command, nullptr, nullptr);
  Tcl_CreateObjCommand(interpreter, "::ipc::send", send_command, nullptr, nullptr);
  return Tcl_PkgProvide(interpreter, PACKAGE_NAME, PACKAGE_VERSION);
}
