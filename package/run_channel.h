// What a run's worker thread hands to the application's thread, in the backend's order: a bounded
// queue delivered as one queued Tcl event per batch, and calls that must run on that thread.
#pragma once

#include <tcl.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "host/msg.h"
#include "host/thr_process.h"

// How a run ended, as its worker saw it.
struct RUN_END {
  bool ok = false;
  THR_PROCESS_EXIT_CODE code{0, 0};
  int exit_code = 0;  // with a failed exec and -strict applied
  int exec_error = 0;
  bool timed_out = false;
  int failed_lines = 0;
  int stray_lines = 0;
};

class TCL_RUN;

struct RUN_ITEM {
  enum KIND { MESSAGE, STRAY, FAILED, PROGRESS, POOL, FORWARD, END };
  explicit RUN_ITEM(KIND kind) : kind(kind) {}
  KIND kind;
  MSG_KIND severity = MSG_KIND::INFO;
  long first = 0;   // message id, progress done, or the pool's helper
  long second = 0;  // progress total
  std::string text;
  std::string extra;          // a failed line's script, or the pool event's word
  TCL_RUN* origin = nullptr;  // FORWARD: the run whose routing holds while it is evaluated
  RUN_END end;                // END
};

class RUN_CHANNEL {
 public:
  // number names the run in the event; deliver is called on the application's thread with it.
  RUN_CHANNEL(long number, Tcl_ThreadId application, size_t capacity);

  // Appends item and wakes the application's thread for a new batch. The worker waits while the
  // queue is full; the application's own thread never does (it is the one that empties it).
  void push(RUN_ITEM item);
  // The application's thread takes the whole batch.
  std::vector<RUN_ITEM> take();
  // Worker: has script evaluated on the application's thread in turn with the items; waits for
  // the answer, TCL_ERROR when the run is stopped or abandoned meanwhile.
  int forward(const std::string& script, std::string* result, TCL_RUN* origin);
  // Application's thread: the answer to the pending forward.
  void answer(int code, const std::string& result);

  // Ends the run as soon as its worker looks (ipc::stop, a callback's error, exit).
  void request_stop();
  bool stop_requested() const { return m_stop.load(std::memory_order_relaxed); }
  // The application is exiting: nothing will take items or answer any more; no wait stays.
  void abandon();
  // Worker: set once the worker's last step is done.
  void mark_finished();
  // Waits at most timeout for mark_finished; true when it came.
  bool wait_finished(std::chrono::milliseconds timeout);

  std::atomic<unsigned long> pid{0};
  const long number;

 private:
  void post_event_locked();

  const Tcl_ThreadId m_application;
  const size_t m_capacity;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<RUN_ITEM> m_items;
  bool m_event_posted = false;
  bool m_abandoned = false;
  bool m_finished = false;
  bool m_answered = false;
  int m_answer_code = TCL_OK;
  std::string m_answer;
  std::atomic<bool> m_stop{false};
};

// Set by the package: called on the application's thread when a batch of run number waits.
extern void (*run_channel_deliver)(long number);
// Set by the package: delivers the waiting batch of run number at once, on the application's
// thread.
extern void (*run_channel_deliver_now)(long number);
