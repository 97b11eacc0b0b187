// The scripting and query side of the fake host.
#include "host/fake/fake_host.h"

#include <algorithm>
#include <utility>

#include "host/fake/fake_state.h"

namespace fake_host {

using detail::LOCK;
using detail::state;

namespace detail {

STATE& state() {
  static STATE* instance = new STATE;
  return *instance;
}

void begin_call(std::string entry) {
  std::function<void(const std::string&)> hook;
  {
    LOCK lock(state().mutex);
    state().log.push_back(entry);
    hook = state().call_hook;
  }
  if (hook) run_hook([&] { hook(entry); });
}

void run_hook(const std::function<void()>& hook) {
  thread_local bool in_hook = false;
  if (in_hook) return;
  struct CLEARS_ON_EXIT {
    bool& flag;
    ~CLEARS_ON_EXIT() { flag = false; }
  } clear{in_hook};
  in_hook = true;
  hook();
}

}  // namespace detail

namespace {

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

detail::PIPE_RECORD& record(const std::string& name) { return state().pipes[name]; }

void push_read(const std::string& name, detail::PIPE_READ::KIND kind, std::string bytes) {
  LOCK lock(state().mutex);
  record(name).reads.push_back({kind, std::move(bytes)});
}

}  // namespace

void reset() {
  LOCK lock(state().mutex);
  static_cast<detail::RESETTABLE&>(state()) = detail::RESETTABLE{};
}

std::vector<std::string> calls() {
  LOCK lock(state().mutex);
  return state().log;
}

std::vector<std::string> calls_with_prefix(const std::string& prefix) {
  LOCK lock(state().mutex);
  std::vector<std::string> matching;
  for (const std::string& entry : state().log)
    if (starts_with(entry, prefix)) matching.push_back(entry);
  return matching;
}

int count(const std::string& prefix) { return static_cast<int>(calls_with_prefix(prefix).size()); }

std::vector<int> sleeps() {
  LOCK lock(state().mutex);
  return state().sleeps;
}

int64_t clock_ms() {
  LOCK lock(state().mutex);
  return state().clock_ms;
}

void fail_create(const std::string& program, int os_error) {
  LOCK lock(state().mutex);
  state().failing_creates.push_back({program, os_error});
}

CREATE_CALL last_create() {
  LOCK lock(state().mutex);
  return state().last_create;
}

OUTPUT_STEP chunk(const std::string& bytes) {
  OUTPUT_STEP step;
  step.has_bytes = true;
  step.bytes = bytes;
  return step;
}

OUTPUT_STEP nothing_now() { return OUTPUT_STEP{}; }

OUTPUT_STEP end_of_output() {
  OUTPUT_STEP step;
  step.peek_status = 1;
  step.sticky = true;
  return step;
}

OUTPUT_STEP read_failure(uint32_t count) {
  OUTPUT_STEP step;
  step.has_bytes = true;
  step.fake_count = count;
  step.read_fails = true;
  return step;
}

OUTPUT_STEP failing_peek_with(const std::string& bytes) {
  OUTPUT_STEP step = chunk(bytes);
  step.peek_status = 1;
  return step;
}

void push_output(unsigned long pipe, const OUTPUT_STEP& step) {
  LOCK lock(state().mutex);
  state().outputs[pipe].push_back(step);
}

void push_output(unsigned long pipe, const std::vector<OUTPUT_STEP>& steps) {
  for (const OUTPUT_STEP& step : steps) push_output(pipe, step);
}

WAIT_RESULT running() { return WAIT_RESULT{}; }

WAIT_RESULT ended(int32_t status, int32_t exit_code) { return WAIT_RESULT{1, {status, exit_code}}; }

WAIT_RESULT unreachable() { return WAIT_RESULT{-1, {0, 0}}; }

void push_wait(const WAIT_RESULT& result, int times) {
  LOCK lock(state().mutex);
  for (int i = 0; i < times; ++i) state().waits.push(result);
}

void push_terminate(int result) {
  LOCK lock(state().mutex);
  state().terminates.push(result);
}

std::string stdin_written(unsigned long pipe) {
  LOCK lock(state().mutex);
  auto it = state().stdin_data.find(pipe);
  return it == state().stdin_data.end() ? std::string() : it->second;
}

void push_system(int32_t status) {
  LOCK lock(state().mutex);
  state().systems.push(status);
}

void set_win32(bool windows) {
  LOCK lock(state().mutex);
  state().win32 = windows;
}

void set_process_events_result(int result) {
  LOCK lock(state().mutex);
  state().process_events_result = result;
}

void fail_pipe_create(int n) {
  LOCK lock(state().mutex);
  state().failing_pipe_creates.insert(n);
}

void fail_pipe_connect(const std::string& name) {
  LOCK lock(state().mutex);
  record(name).connect_fails = true;
}

void fail_pipe_connect_r(const std::string& name) {
  LOCK lock(state().mutex);
  record(name).connect_r_fails = true;
}

void push_pipe_read(const std::string& name, const std::string& bytes) {
  push_read(name, detail::PIPE_READ::BYTES, bytes);
}

void push_pipe_read_nothing(const std::string& name) {
  push_read(name, detail::PIPE_READ::NOTHING, "");
}

void push_pipe_read_failure(const std::string& name) {
  push_read(name, detail::PIPE_READ::FAILURE, "");
}

void push_pipe_write(const std::string& name, bool ok) {
  LOCK lock(state().mutex);
  record(name).write_results.push_back(ok);
}

int live_pipe_objects() {
  LOCK lock(state().mutex);
  return state().live_pipes;
}

void on_call(std::function<void(const std::string& entry)> hook) {
  LOCK lock(state().mutex);
  state().call_hook = std::move(hook);
}

void on_sleep(std::function<void(int index, int milliseconds)> hook) {
  LOCK lock(state().mutex);
  state().sleep_hook = std::move(hook);
}

void on_wait(std::function<void(int index)> hook) {
  LOCK lock(state().mutex);
  state().wait_hook = std::move(hook);
}

}  // namespace fake_host
