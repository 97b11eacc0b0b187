// One run's work on its worker thread: the child's command through the library, with every
// message, stray line, failed line and progress report of the run handed to its channel.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "host/msg.h"
#include "host/ztcl.h"
#include "ipc/ipc_command.h"
#include "package/run_channel.h"
#include "package/run_options.h"
#include "services/helper_pool.h"
#include "services/run_pacing.h"

// Hands each delivered record to a function.
class FUNCTION_SINK : public MSG_SINK {
 public:
  explicit FUNCTION_SINK(std::function<void(const MSG_RECORD&)> function)
      : m_function(std::move(function)) {}
  void deliver(const MSG_RECORD& record) override { m_function(record); }

 private:
  std::function<void(const MSG_RECORD&)> m_function;
};

class TCL_RUN : public IPC_COMMAND, private ZTCL_ERROR_OBSERVER, private ZTCL_TRUSTED_FORWARDER {
 public:
  // Create, execute and destroy on the worker thread.
  TCL_RUN(const RUN_SETTINGS& settings, std::shared_ptr<RUN_CHANNEL> channel);
  ~TCL_RUN() override;
  TCL_RUN(const TCL_RUN&) = delete;
  TCL_RUN& operator=(const TCL_RUN&) = delete;

  // Runs the child to its end (a stopped child is reaped) and says how it ended.
  RUN_END execute();
  // Hands a progress report to the channel when the application wants it.
  void progress(long done, long total, const std::string& text);
  // The run whose messages the calling thread routes now, or null.
  static TCL_RUN* routed_here();

  bool is_stopped() override;
  void process_line(const std::string& line) override;

  // While it lives, the calling thread's messages, debug texts and progress go to run: the worker
  // for the whole run, the application's thread while it evaluates a forwarded call of the run.
  class ROUTING {
   public:
    explicit ROUTING(TCL_RUN* run);
    ~ROUTING();
    ROUTING(const ROUTING&) = delete;
    ROUTING& operator=(const ROUTING&) = delete;

   private:
    SCOPED_MSG_THREAD_SINKS m_sinks;
    TCL_RUN* m_previous;
  };

 private:
  void line_failed(const std::string& error, const std::string& script) override;
  int evaluate_trusted(const std::string& script, std::string* result) override;
  void reap_stopped_child(THR_PROCESS_EXIT_CODE* code);
  bool run_with_pool(THR_PROCESS_EXIT_CODE* code);
  void on_pool_event(const POOL_EVENT& event);
  void on_message(const MSG_RECORD& record);
  void on_debug_record(const MSG_RECORD& record);
  void report_stray(std::string_view text);
  // A trusted run: a word the application's interpreter offers is offered here too, so the
  // library judges the line as the application's interpreter would.
  void offer_trusted_word(const std::string& line);
  int exit_code_of(const THR_PROCESS_EXIT_CODE& code) const;

  const RUN_SETTINGS m_settings;
  std::shared_ptr<RUN_CHANNEL> m_channel;
  FUNCTION_SINK m_message_sink;
  FUNCTION_SINK m_debug_sink;
  SCOPED_ZTCL_RUN_POLICY m_policy;  // also gives the run a fresh child interpreter
  ROUTING m_routing;
  ZTCL_ERROR_OBSERVER* m_previous_observer = nullptr;
  RUN_PACING m_pacing;
  std::atomic<bool> m_pool_failed{false};  // a partition failed every attempt or a helper died
  int m_failed_lines = 0;
  int m_stray_lines = 0;
};
