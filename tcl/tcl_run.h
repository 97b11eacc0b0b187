// One ipc::run: the child's command, the callbacks it calls in the application's interpreter,
// and its end as a Tcl dict.
#pragma once

#include <tcl.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "host/msg.h"
#include "host/run_pacing.h"
#include "host/ztcl.h"
#include "ipc/ipc_command.h"
#include "tcl/run_options.h"

// Hands each delivered record to a function.
class FUNCTION_SINK : public MSG_SINK {
 public:
  explicit FUNCTION_SINK(std::function<void(const MSG_RECORD&)> function)
      : m_function(std::move(function)) {}
  void deliver(const MSG_RECORD& record) override { m_function(record); }

 private:
  std::function<void(const MSG_RECORD&)> m_function;
};

class TCL_RUN : public IPC_COMMAND, private ZTCL_ERROR_OBSERVER {
 public:
  TCL_RUN(Tcl_Interp* interpreter, RUN_OPTIONS& options);
  ~TCL_RUN() override;
  TCL_RUN(const TCL_RUN&) = delete;
  TCL_RUN& operator=(const TCL_RUN&) = delete;

  // Runs the child to its end: TCL_OK with the result dict, or TCL_ERROR with the error a
  // callback raised (the child is terminated then).
  int execute();
  // Hands a progress report to -onprogress.
  void progress(long done, long total, const std::string& text);
  // The run in progress on this process, or null.
  static TCL_RUN* active();

  bool is_stopped() override;
  void process_line(const std::string& line) override;

 private:
  void line_failed(const std::string& error, const std::string& script) override;
  // A stopped or failed run has its killed child reaped here, so no zombie stays behind.
  void reap_stopped_child(THR_PROCESS_EXIT_CODE* code);
  void on_message(const MSG_RECORD& record);
  void on_debug_record(const MSG_RECORD& record);
  // Calls prefix with the extra words; a failure is kept and ends the run.
  void call(const TCL_OBJ_REF& prefix, std::initializer_list<Tcl_Obj*> words);
  void report_stray(std::string_view text);
  Tcl_Obj* result_dict(bool ok, const THR_PROCESS_EXIT_CODE& code) const;
  int exit_code_of(const THR_PROCESS_EXIT_CODE& code) const;

  Tcl_Interp* m_interpreter;
  RUN_OPTIONS& m_options;
  FUNCTION_SINK m_message_sink;
  FUNCTION_SINK m_debug_sink;
  SCOPED_ZTCL_RUN_POLICY m_policy;  // also gives the run a fresh child interpreter
  bool m_debug_was_on = false;
  int m_failed_lines = 0;
  int m_stray_lines = 0;
  ZTCL_ERROR_OBSERVER* m_previous_observer = nullptr;
  RUN_PACING m_pacing;
  bool m_stop_requested = false;
  // A callback's failure: its result and return options, kept until the run ends.
  TCL_OBJ_REF m_error;
  TCL_OBJ_REF m_error_options;
};
