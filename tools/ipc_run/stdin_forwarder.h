// --stdin: copies ipc_run's standard input to the running child from a second thread.
#pragma once

#include <atomic>
#include <thread>

class RUN_COMMAND;

class STDIN_FORWARDER {
 public:
  // Starts forwarding to command once its child runs; the child's stdin is closed at our EOF.
  explicit STDIN_FORWARDER(RUN_COMMAND& command);
  // Stops forwarding (the run is over) and joins the thread.
  ~STDIN_FORWARDER();
  STDIN_FORWARDER(const STDIN_FORWARDER&) = delete;
  STDIN_FORWARDER& operator=(const STDIN_FORWARDER&) = delete;

 private:
  void forward();
  bool wait_until_running();

  RUN_COMMAND& m_command;
  std::atomic<bool> m_run_over{false};
  std::thread m_thread;
};
