// The process service of host/thr_process.h, answered from the fake host's scripts.
#include <algorithm>
#include <cstring>
#include <thread>

#include "host/fake/fake_state.h"
#include "host/thr_process.h"

using fake_host::OUTPUT_STEP;
using fake_host::WAIT_RESULT;
using fake_host::detail::begin_call;
using fake_host::detail::LOCK;
using fake_host::detail::state;
using fake_host::detail::STATE;

namespace {

std::string stderr_mode(const unsigned long* output_pipe, const unsigned long* stderr_pipe) {
  if (stderr_pipe == nullptr) return "none";
  return stderr_pipe == output_pipe ? "joined" : "separate";
}

void record_create(STATE& s, const std::string& command_line, const std::string& option,
                   const std::string& mode) {
  s.last_create.command_line = command_line;
  s.last_create.option = option;
  s.last_create.stderr_joined = mode == "joined";
  s.last_create.stderr_separate = mode == "separate";
}

// The step a peek or read looks at; null once the queue is empty.
OUTPUT_STEP* front_step(STATE& s, unsigned long pipe) {
  auto it = s.outputs.find(pipe);
  if (it == s.outputs.end() || it->second.empty()) return nullptr;
  return &it->second.front();
}

void pop_step(STATE& s, unsigned long pipe) { s.outputs[pipe].pop_front(); }

// A waited-for answer that holds no record for the caller writes none.
int answer_wait(const WAIT_RESULT& answer, THR_PROCESS_EXIT_CODE* code) {
  if (answer.result != 0 && answer.result != -1 && code != nullptr) *code = answer.code;
  return answer.result;
}

}  // namespace

THR_PROCESS_CREATE_RESULT thr_process_create2(const std::string& command_line,
                                              const std::string& option, unsigned long* output_pipe,
                                              unsigned long* stderr_pipe, unsigned long* stdin_pipe,
                                              THR_SYS_FUNC_STAT_STRUCT* stat) {
  std::string mode = stderr_mode(output_pipe, stderr_pipe);
  begin_call("create cmd='" + command_line + "' option='" + option + "' stderr=" + mode);
  STATE& s = state();
  LOCK lock(s.mutex);
  record_create(s, command_line, option, mode);
  if (!s.failing_creates.empty()) {
    const fake_host::detail::CREATE_FAILURE failure = s.failing_creates.front();
    s.failing_creates.pop_front();
    if (stat != nullptr) *stat = THR_SYS_FUNC_STAT_STRUCT{failure.os_error, 0};
    return boost::outcome_v2::failure(
        std::make_unique<THR_ERROR>(failure.program, failure.os_error));
  }
  if (output_pipe != nullptr) *output_pipe = 3;
  if (stdin_pipe != nullptr) *stdin_pipe = 4;
  return 7;
}

int thr_process_peek(unsigned long pipe, uint32_t* count) {
  begin_call("peek " + std::to_string(pipe));
  STATE& s = state();
  LOCK lock(s.mutex);
  *count = 0;
  OUTPUT_STEP* step = front_step(s, pipe);
  if (step == nullptr) return 1;
  if (step->has_bytes)
    *count = step->read_fails ? step->fake_count : static_cast<uint32_t>(step->bytes.size());
  int status = step->peek_status;
  if (!step->has_bytes && !step->sticky) pop_step(s, pipe);
  return status;
}

int thr_process_read(unsigned long pipe, void* buffer, unsigned long capacity, uint32_t* count) {
  begin_call("read " + std::to_string(pipe) + " cap=" + std::to_string(capacity));
  STATE& s = state();
  LOCK lock(s.mutex);
  *count = 0;
  OUTPUT_STEP* step = front_step(s, pipe);
  if (step == nullptr || !step->has_bytes) return 1;  // a real read would block: a caller's bug
  if (step->read_fails) {
    pop_step(s, pipe);
    return 1;
  }
  size_t taken = std::min<size_t>(capacity, step->bytes.size());
  std::memcpy(buffer, step->bytes.data(), taken);
  step->bytes.erase(0, taken);
  *count = static_cast<uint32_t>(taken);
  if (step->bytes.empty()) pop_step(s, pipe);
  return 0;
}

int thr_process_write(unsigned long pipe, const void* data, unsigned long size, uint32_t* count) {
  std::string text(static_cast<const char*>(data), size);
  begin_call("write " + std::to_string(pipe) + " '" + text + "'");
  STATE& s = state();
  LOCK lock(s.mutex);
  *count = static_cast<uint32_t>(size);
  s.stdin_data[pipe] += text;
  return 0;
}

int thr_process_wait(unsigned long pid, THR_PROCESS_EXIT_CODE* code, int no_hang) {
  begin_call("wait " + std::to_string(pid) + " nohang=" + std::to_string(no_hang));
  STATE& s = state();
  std::function<void(int)> hook;
  int index = 0;
  {
    LOCK lock(s.mutex);
    index = ++s.wait_count;
    hook = s.wait_hook;
  }
  if (hook) fake_host::detail::run_hook([&] { hook(index); });
  LOCK lock(s.mutex);
  return answer_wait(s.waits.take(fake_host::ended(0, 0)), code);
}

int thr_process_terminate(unsigned long pid, THR_PROCESS_EXIT_CODE code) {
  begin_call("terminate " + std::to_string(pid) + " status=" + std::to_string(code.status) +
             " exit_code=" + std::to_string(code.exit_code));
  STATE& s = state();
  LOCK lock(s.mutex);
  return s.terminates.take(0);
}

void thr_process_close_handle(unsigned long pid) {
  begin_call("close_handle " + std::to_string(pid));
}

void thr_process_close_pipe(unsigned long pipe) {
  begin_call("close_pipe " + std::to_string(pipe));
}

int32_t thr_system(const std::string& command_line) {
  begin_call("system '" + command_line + "'");
  STATE& s = state();
  LOCK lock(s.mutex);
  return s.systems.take(0);
}

int32_t thr_getpid() { return 4321; }

void thr_msleep(int milliseconds) {
  begin_call("sleep " + std::to_string(milliseconds));
  STATE& s = state();
  std::function<void(int, int)> hook;
  int index = 0;
  {
    LOCK lock(s.mutex);
    s.sleeps.push_back(milliseconds);
    s.clock_ms += std::max(milliseconds, 0);
    index = static_cast<int>(s.sleeps.size());
    hook = s.sleep_hook;
  }
  std::this_thread::yield();  // virtual time, but other threads still get to run
  if (hook) fake_host::detail::run_hook([&] { hook(index, milliseconds); });
}

int thr_win32_is() {
  LOCK lock(state().mutex);
  return state().win32 ? 1 : 0;
}
