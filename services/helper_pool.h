// A run's pool of helper processes, as the library's dispatcher needs it: two named pipes per
// helper and the helpers started on them, here or through a launcher beyond this machine (each
// remote helper is then served by an ipc_relay that looks like a local helper to the
// dispatcher). What the helpers print and what happens to them comes back as events.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/msg.h"
#include "host/thr_named_pipe.h"

struct HELPER_POOL_OPTIONS {
  int helper_count = 0;
  int partition_count = 0;
  std::string helper_command;      // split into words like a command line
  std::string launcher = "local";  // "local", "ssh:HOST[,HOST...]", "slurm" or a command prefix
  std::string remote_relay;        // ipc_relay on the remote side; empty: its path here
  int attempts = 3;                // per partition, beyond this machine
  double heartbeat_seconds = 5;
  double start_timeout_seconds = 60;
};

enum class POOL_EVENT_KIND {
  OUTPUT,   // a line the helper printed (untrusted text)
  STARTED,  // an attempt of a remote helper was launched; the text says where
  LOST,     // a remote helper was lost; its partition goes to a new attempt
  WARNING,  // something odd that does not stop the pool, or what a relay or its launcher said
  FAILED,   // a partition failed every attempt, or the launcher cannot be used; ends the run
  DIED,     // a helper or its relay ended before the pool did; ends the run
  DEBUG,    // how an attempt was launched and where it runs
};

struct POOL_EVENT {
  POOL_EVENT_KIND kind;
  int helper;  // -1: the pool as a whole
  std::string text;
};

// True for the events that end the run (FAILED, DIED); HELPER_POOL::failed() says one came.
inline bool pool_event_ends_run(POOL_EVENT_KIND kind) {
  return kind == POOL_EVENT_KIND::FAILED || kind == POOL_EVENT_KIND::DIED;
}

// Why launcher cannot serve, for a host's usage error ("ssh: needs at least one host, ..."); empty
// when it can.
std::string pool_launcher_error(const std::string& launcher);

// "output", "started", "lost", "warning", "failed", "died" or "debug".
const char* pool_event_word(POOL_EVENT_KIND kind);
// How a host shows an event as a message: output as information with the helper's line as it
// is, an attempt's start as information, lost and warnings as warnings, failed and died as
// errors, all but output as "helper I: TEXT"; debug as a DEBUG record of module "POOL".
MSG_RECORD pool_event_record(const POOL_EVENT& event);

// Called on the pool's own thread, one event at a time, in each helper's order.
using POOL_LISTENER = std::function<void(const POOL_EVENT&)>;

class HELPER_POOL {
 public:
  explicit HELPER_POOL(POOL_LISTENER listener);
  ~HELPER_POOL();
  HELPER_POOL(const HELPER_POOL&) = delete;
  HELPER_POOL& operator=(const HELPER_POOL&) = delete;

  // Creates the named pipes and starts the helpers; false with *error set (helpers already
  // started are ended again by finish()).
  bool start(const HELPER_POOL_OPTIONS& options, std::string* error);
  // Closes the pipes, then waits for every helper, terminating those that do not end in time;
  // their remaining output is passed on. Idempotent.
  void finish();
  // Kills the helpers still alive (asks relays to end) without waiting; safe while exiting.
  void terminate_all();
  // True once a FAILED or DIED event was given.
  bool failed() const { return m_failed; }

  THR_NAMED_PIPE** to_helpers() { return m_to_raw.data(); }
  THR_NAMED_PIPE** from_helpers() { return m_from_raw.data(); }
  int helper_count() const { return static_cast<int>(m_to_raw.size()); }

 private:
  struct HELPER;

  bool create_pipes(int count, std::string* error);
  // The command each helper slot runs: the helper itself, or a relay to a remote one.
  static std::string helper_command(const HELPER_POOL_OPTIONS& options);
  bool start_helper(const std::string& command, int index, std::string* error);
  void watch();
  bool read_pass();
  bool read_helper(int index);
  void take_line(int index, std::string_view line);
  void check_ends();
  void tell(POOL_EVENT event);
  void close_pipes();
  void reap_helpers();

  POOL_LISTENER m_listener;
  std::mutex m_tell_mutex;  // the watcher and finish() both tell
  std::vector<std::unique_ptr<THR_NAMED_PIPE>> m_pipes;
  std::vector<THR_NAMED_PIPE*> m_to_raw;
  std::vector<THR_NAMED_PIPE*> m_from_raw;
  std::vector<std::unique_ptr<HELPER>> m_helpers;
  std::thread m_watcher;
  std::atomic<bool> m_stop_watching{false};
  std::atomic<bool> m_ending{false};  // helpers are being ended on purpose
  std::atomic<bool> m_failed{false};
  std::chrono::seconds m_grace{3};
  bool m_relays = false;  // the helpers are ipc_relay processes
};
