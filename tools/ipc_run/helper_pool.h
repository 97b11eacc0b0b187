// The helper processes of --pool: their named pipes, their start, their output and their end.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/thr_named_pipe.h"
#include "tools/ipc_run/options.h"

class HELPER_POOL {
 public:
  HELPER_POOL() = default;
  ~HELPER_POOL();
  HELPER_POOL(const HELPER_POOL&) = delete;
  HELPER_POOL& operator=(const HELPER_POOL&) = delete;

  // Creates two named pipes per helper and starts the helpers; false with *error set (helpers
  // already started are ended again by finish()).
  bool start(const POOL_OPTIONS& options, std::string* error);
  // Closes the pipes, then waits for every helper, terminating those that do not end in time;
  // their remaining output is forwarded. Idempotent.
  void finish();
  // Kills the helpers still alive (asks relays to end) without waiting; safe while exiting.
  void terminate_all();
  // True once a helper died (a non-zero exit or a signal) before the pool was ended; that death
  // was reported on standard error and the run asked to stop.
  bool helper_died() const { return m_helper_died; }

  THR_NAMED_PIPE** to_helpers() { return m_to_raw.data(); }
  THR_NAMED_PIPE** from_helpers() { return m_from_raw.data(); }
  int helper_count() const { return static_cast<int>(m_to_raw.size()); }

 private:
  struct HELPER {
    unsigned long pid = 0;
    unsigned long output = 0;
    std::atomic<bool> output_ended{false};
    std::atomic<bool> reaped{false};
  };

  bool create_pipes(int count, std::string* error);
  // The command each helper slot runs: the helper itself, or a relay to a remote one.
  static std::string helper_command(const POOL_OPTIONS& options);
  bool start_helper(const std::string& command, int index, std::string* error);
  void forward_output();
  bool forward_pass();
  void watch_helpers();
  void close_pipes();
  void reap_helpers();

  std::vector<std::unique_ptr<THR_NAMED_PIPE>> m_pipes;
  std::vector<THR_NAMED_PIPE*> m_to_raw;
  std::vector<THR_NAMED_PIPE*> m_from_raw;
  std::vector<std::unique_ptr<HELPER>> m_helpers;
  std::thread m_forwarder;
  std::atomic<bool> m_stop_forwarding{false};
  std::atomic<bool> m_ending{false};  // helpers are being ended on purpose
  std::atomic<bool> m_helper_died{false};
  std::chrono::seconds m_grace{3};
  bool m_relays = false;  // the helpers are ipc_relay processes
};
