// The fake host's shared state, behind one mutex; internal to host/fake.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/fake/fake_host.h"

namespace fake_host {
namespace detail {

// Scripted answers used in order; once they run out the last one repeats, until more are pushed.
template <typename T>
class ANSWERS {
 public:
  void push(const T& answer) { m_queue.push_back(answer); }
  T take(const T& fallback) {
    if (!m_queue.empty()) {
      m_last = m_queue.front();
      m_queue.pop_front();
    }
    return m_last.value_or(fallback);
  }

 private:
  std::deque<T> m_queue;
  std::optional<T> m_last;
};

struct CREATE_FAILURE {
  std::string program;
  int os_error = 0;
};

struct PIPE_READ {
  enum KIND { BYTES, NOTHING, FAILURE } kind = NOTHING;
  std::string bytes;
};

struct PIPE_RECORD {
  bool connect_fails = false;
  bool connect_r_fails = false;
  std::deque<PIPE_READ> reads;
  std::deque<bool> write_results;
};

// Everything reset() returns to its defaults.
struct RESETTABLE {
  std::vector<std::string> log;
  std::vector<int> sleeps;
  int64_t clock_ms = 0;

  std::deque<CREATE_FAILURE> failing_creates;
  CREATE_CALL last_create;
  std::map<unsigned long, std::deque<OUTPUT_STEP>> outputs;
  ANSWERS<WAIT_RESULT> waits;
  int wait_count = 0;
  ANSWERS<int> terminates;
  std::map<unsigned long, std::string> stdin_data;
  ANSWERS<int32_t> systems;
  bool win32 = false;
  int process_events_result = 0;

  int pipe_creates = 0;
  std::set<int> failing_pipe_creates;
  std::map<std::string, PIPE_RECORD> pipes;

  std::function<void(const std::string&)> call_hook;
  std::function<void(int, int)> sleep_hook;
  std::function<void(int)> wait_hook;
};

struct STATE : RESETTABLE {
  std::mutex mutex;
  int live_pipes = 0;  // counts objects, which outlive reset()
};

// The one state; never destroyed, so pipe objects destroyed at exit still find it.
STATE& state();

using LOCK = std::lock_guard<std::mutex>;

// Appends to the call log, then runs the call hook; the caller must not hold the lock.
void begin_call(std::string entry);

// Runs a hook unless this thread is inside one already: calls a hook makes are logged but start
// no hooks, so a hook cannot recurse into itself.
void run_hook(const std::function<void()>& hook);

}  // namespace detail
}  // namespace fake_host
