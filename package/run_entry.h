// One run as the application's thread sees it: its callbacks, called from the event loop in the
// backend's order, its state, its result, and the worker thread that runs it.
#pragma once

#include <tcl.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>

#include "package/run_channel.h"
#include "package/run_options.h"

class RUN_ENTRY {
 public:
  RUN_ENTRY(Tcl_Interp* interpreter, long number, std::unique_ptr<RUN_OPTIONS> options);
  // Abandons a run still going and joins its worker (at most a bounded wait).
  ~RUN_ENTRY();
  RUN_ENTRY(const RUN_ENTRY&) = delete;
  RUN_ENTRY& operator=(const RUN_ENTRY&) = delete;

  // Starts the worker; false with the cause in the interpreter's result when it cannot.
  bool start();
  // Serves the waiting batch: callbacks in order, the run's end last. Re-entered from a callback
  // (a nested event loop) it leaves the batch to the call in progress, keeping the order.
  void deliver();
  // Ends the run as soon as its worker looks; its result says stopped.
  void stop();
  // The application exits: nothing more is delivered, the child is terminated and reaped, the
  // worker joined within bound.
  void abandon(std::chrono::milliseconds bound);

  bool ended() const { return m_ended; }
  const std::string& token() const { return m_token; }
  std::shared_ptr<RUN_CHANNEL> channel() const { return m_channel; }
  // The run's end in the interpreter: TCL_OK with its result dict, or the callback's error.
  int raise_result() const;
  // The result dict, with "error" when a callback failed; null before the end.
  Tcl_Obj* result() const { return m_result.get(); }
  // title, state, pid, messages, and result once ended.
  Tcl_Obj* info() const;

 private:
  void handle(RUN_ITEM& item);
  void finish(const RUN_END& end);
  void forward(const RUN_ITEM& item);
  // Calls prefix with the extra words; a failure is kept and stops the run.
  void call(Tcl_Obj* prefix, std::initializer_list<Tcl_Obj*> words);
  Tcl_Obj* result_dict(const RUN_END& end) const;
  void watch_stop_variable(bool on);
  static char* on_stop_variable(ClientData data, Tcl_Interp* interpreter, const char*, const char*,
                                int);

  Tcl_Interp* m_interpreter;
  const std::string m_token;
  std::unique_ptr<RUN_OPTIONS> m_options;
  std::shared_ptr<RUN_CHANNEL> m_channel;
  Tcl_ThreadId m_worker{};
  bool m_started = false;
  bool m_joined = false;
  bool m_delivering = false;
  bool m_deliver_again = false;
  bool m_ended = false;
  bool m_stopped = false;  // ipc::stop or -stopvariable
  long m_messages = 0;
  TCL_OBJ_REF m_result;
  TCL_OBJ_REF m_error;
  TCL_OBJ_REF m_error_options;
};
