// The Tcl package "ipc": lets a Tcl or Tk application run its backends through the library, any
// number at once. The interpreter that loads it becomes the host's trusted interpreter; each run
// goes on a worker thread and its callbacks run in that interpreter, from its event loop.
#include <tcl.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "host/host.h"
#include "host/msg.h"
#include "host/thr_thread.h"
#include "host/ztcl.h"
#include "ipc/ipc_export.h"
#include "package/run_entry.h"
#include "package/run_options.h"
#include "package/run_pipe.h"
#include "package/tcl_run.h"
#include "services/progress.h"
#include "services/stop_signals.h"
#include "services/stray_output.h"

namespace {

constexpr const char* PACKAGE_NAME = "ipc";
constexpr const char* PACKAGE_VERSION = "1.0";
// How long the exit waits for each run's worker after its child was terminated.
constexpr std::chrono::milliseconds EXIT_JOIN_BOUND{3000};

// Created with the first adoption, never destroyed: the command serves every later interpreter
// too, and nothing may reach Tcl while the process exits.
SCOPED_PROGRESS_COMMAND* progress_command = nullptr;

// The runs not yet collected by ipc::wait, by number; touched on the application's thread only.
std::map<long, std::unique_ptr<RUN_ENTRY>>& runs() {
  static auto* instance = new std::map<long, std::unique_ptr<RUN_ENTRY>>;
  return *instance;
}
long last_number = 0;
// Stray text is reported on the library's debug channel, turned on while any run is live.
int live_runs = 0;
bool debug_was_on = false;

int error(Tcl_Interp* interpreter, const std::string& text) {
  Tcl_SetObjResult(interpreter, Tcl_NewStringObj(text.c_str(), -1));
  return TCL_ERROR;
}

RUN_ENTRY* find(const std::string& token) {
  if (token.compare(0, 3, "ipc") != 0) return nullptr;
  auto found = runs().find(std::atol(token.c_str() + 3));
  return found != runs().end() && found->second->token() == token ? found->second.get() : nullptr;
}

int unknown(Tcl_Interp* interpreter, const char* command, Tcl_Obj* token) {
  return error(interpreter, std::string(command) + ": no run \"" + Tcl_GetString(token) + "\"");
}

void deliver_now(long number) {
  auto found = runs().find(number);
  if (found != runs().end()) found->second->deliver();
}

void on_idle_delivery(ClientData data) {
  deliver_now(static_cast<long>(reinterpret_cast<intptr_t>(data)));
}

// A batch is served when the application is idle, so timers, Tk's redraws and other runs get
// their turn between batches of a flooding backend.
void schedule_delivery(long number) {
  Tcl_DoWhenIdle(on_idle_delivery, reinterpret_cast<ClientData>(static_cast<intptr_t>(number)));
}

void run_debug_output(bool starting) {
  if (starting && live_runs++ == 0) {
    debug_was_on = msg_debug_enabled(STRAY_OUTPUT_MODULE, MSG_D_LEVEL_2);
    msg_set_debug_level(STRAY_OUTPUT_MODULE, MSG_D_LEVEL_2);
  } else if (!starting && --live_runs == 0 && !debug_was_on) {
    msg_set_debug_level(STRAY_OUTPUT_MODULE, 0);
  }
}

// Parses and starts one run; its entry, or null with the error in the interpreter.
RUN_ENTRY* start_run(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[], const char* name,
                     bool with_complete) {
  if (ztcl_get_trusted_interpreter() != interpreter) {
    error(interpreter, std::string(name) + ": this interpreter is no longer the host's");
    return nullptr;
  }
  auto options = std::make_unique<RUN_OPTIONS>();
  if (!parse_run_options(interpreter, objc, objv, options.get(), name, with_complete))
    return nullptr;
  if (options->pool && (with_complete || thr_thread_self() != THR_THREAD_MAIN_ID)) {
    error(interpreter, std::string(name) +
                           ": -pool runs on the process's first thread and blocks it: use "
                           "ipc::run there (its events are served meanwhile)");
    return nullptr;
  }
  options->debug_was_on =
      live_runs > 0 ? debug_was_on : msg_debug_enabled(STRAY_OUTPUT_MODULE, MSG_D_LEVEL_2);
  const long number = ++last_number;
  // Listed first: a run served on this thread delivers while it starts.
  RUN_ENTRY* entry =
      (runs()[number] = std::make_unique<RUN_ENTRY>(interpreter, number, std::move(options))).get();
  run_debug_output(true);
  if (!entry->start()) {
    runs().erase(number);
    run_debug_output(false);
    return nullptr;
  }
  return entry;
}

// Serves events until every run of tokens has ended; false (error set) when one is unknown or
// was collected meanwhile.
bool serve_until_ended(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  for (int i = 1; i < objc; ++i) {
    for (;;) {
      RUN_ENTRY* entry = find(Tcl_GetString(objv[i]));
      if (entry == nullptr) return unknown(interpreter, "ipc::wait", objv[i]), false;
      if (entry->ended()) break;
      Tcl_DoOneEvent(TCL_ALL_EVENTS);
    }
  }
  return true;
}

void collect(RUN_ENTRY* entry) {
  runs().erase(entry->channel()->number);
  run_debug_output(false);
}

// ipc::wait TOKEN ?TOKEN ...?
int wait_command(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc < 2) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "token ?token ...?");
    return TCL_ERROR;
  }
  if (!serve_until_ended(interpreter, objc, objv)) return TCL_ERROR;
  if (objc == 2) {
    RUN_ENTRY* entry = find(Tcl_GetString(objv[1]));
    const int code = entry->raise_result();
    collect(entry);
    return code;
  }
  Tcl_Obj* results = Tcl_NewDictObj();
  for (int i = 1; i < objc; ++i) {
    RUN_ENTRY* entry = find(Tcl_GetString(objv[i]));
    if (entry == nullptr) continue;  // named twice
    Tcl_DictObjPut(nullptr, results, objv[i], entry->result());
    collect(entry);
  }
  Tcl_SetObjResult(interpreter, results);
  return TCL_OK;
}

// ipc::start ?options? ?--? command ?arg ...?
int start_command(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  RUN_ENTRY* entry = start_run(interpreter, objc, objv, "ipc::start", true);
  if (entry == nullptr) return TCL_ERROR;
  Tcl_SetObjResult(interpreter, Tcl_NewStringObj(entry->token().c_str(), -1));
  return TCL_OK;
}

// ipc::run ?options? ?--? command ?arg ...?: ipc::start, then ipc::wait.
int run_proc(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  RUN_ENTRY* entry = start_run(interpreter, objc, objv, "ipc::run", false);
  if (entry == nullptr) return TCL_ERROR;
  Tcl_Obj* words[] = {objv[0], Tcl_NewStringObj(entry->token().c_str(), -1)};
  Tcl_IncrRefCount(words[1]);
  const int code = wait_command(nullptr, interpreter, 2, words);
  Tcl_DecrRefCount(words[1]);
  return code;
}

// ipc::stop TOKEN
int stop_command(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc != 2) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "token");
    return TCL_ERROR;
  }
  RUN_ENTRY* entry = find(Tcl_GetString(objv[1]));
  if (entry == nullptr) return unknown(interpreter, "ipc::stop", objv[1]);
  entry->stop();
  return TCL_OK;
}

// ipc::runs: the tokens of the runs not ended yet.
int runs_command(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc != 1) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "");
    return TCL_ERROR;
  }
  Tcl_Obj* tokens = Tcl_NewListObj(0, nullptr);
  for (const auto& run : runs())
    if (!run.second->ended())
      Tcl_ListObjAppendElement(nullptr, tokens, Tcl_NewStringObj(run.second->token().c_str(), -1));
  Tcl_SetObjResult(interpreter, tokens);
  return TCL_OK;
}

// ipc::info TOKEN
int info_command(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc != 2) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "token");
    return TCL_ERROR;
  }
  RUN_ENTRY* entry = find(Tcl_GetString(objv[1]));
  if (entry == nullptr) return unknown(interpreter, "ipc::info", objv[1]);
  Tcl_SetObjResult(interpreter, entry->info());
  return TCL_OK;
}

// ipc::send ?-run TOKEN? TEXT
int send_command(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc != 2 && !(objc == 4 && std::strcmp(Tcl_GetString(objv[1]), "-run") == 0)) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "?-run token? text");
    return TCL_ERROR;
  }
  bool sent = false;
  if (objc == 4) {
    RUN_ENTRY* entry = find(Tcl_GetString(objv[2]));
    if (entry == nullptr) return unknown(interpreter, "ipc::send", objv[2]);
    sent = !entry->ended() && send_to_run_pipe(entry->channel()->pid, Tcl_GetString(objv[3]));
  } else {
    IPC_COMMAND sender;  // every command broadcasts to the same connected pipes
    sent = sender.send_through_pipe(Tcl_GetString(objv[1]));
  }
  Tcl_SetObjResult(interpreter, Tcl_NewIntObj(sent ? 1 : 0));
  return TCL_OK;
}

void report_progress(long done, long total, const std::string& text) {
  if (TCL_RUN* run = TCL_RUN::routed_here()) run->progress(done, total, text);
}

// Exiting with runs live: every child is terminated first, then each worker reaps its child and
// is joined, so no child and no zombie outlives the application.
void stop_all_runs(ClientData) {
  for (auto& run : runs()) run.second->channel()->abandon();
  for (auto& run : runs()) run.second->abandon(EXIT_JOIN_BOUND);
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
    if (progress_command == nullptr) {
      progress_command = new SCOPED_PROGRESS_COMMAND(report_progress);
      run_channel_deliver = schedule_delivery;
      run_channel_deliver_now = deliver_now;
      Tcl_CreateExitHandler(stop_all_runs, nullptr);
    }
  }
  const struct {
    const char* name;
    Tcl_ObjCmdProc* proc;
  } commands[] = {{"::ipc::run", run_proc},      {"::ipc::start", start_command},
                  {"::ipc::wait", wait_command}, {"::ipc::stop", stop_command},
                  {"::ipc::runs", runs_command}, {"::ipc::info", info_command},
                  {"::ipc::send", send_command}};
  for (const auto& command : commands)
    Tcl_CreateObjCommand(interpreter, command.name, command.proc, nullptr, nullptr);
  return Tcl_PkgProvide(interpreter, PACKAGE_NAME, PACKAGE_VERSION);
}
