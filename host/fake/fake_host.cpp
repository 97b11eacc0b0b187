// The fake host's script, and its process and GUI services.
#include "host/fake/fake_host.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "host/thr_gui.h"

namespace fake_host {

SCRIPT& script() {
  static SCRIPT* const instance = new SCRIPT;  // never destroyed: pipes may die after it at exit
  return *instance;
}

bool fails(const std::string& entry) {
  SCRIPT& s = script();
  s.log.push_back(entry);
  if (s.on_call) {
    const auto hook = std::exchange(s.on_call, nullptr);  // calls it makes start no hook
    hook(entry);
    s.on_call = hook;
  }
  for (auto it = s.fail.begin(); it != s.fail.end(); ++it) {
    if (entry.compare(0, it->size(), *it) != 0) continue;
    s.fail.erase(it);
    return true;
  }
  return false;
}

}  // namespace fake_host

using fake_host::fails;
using fake_host::script;

THR_PROCESS_CREATE_RESULT thr_process_create2(const std::string& command_line,
                                              const std::string& option, unsigned long* output_pipe,
                                              unsigned long* stderr_pipe, unsigned long* stdin_pipe,
                                              THR_SYS_FUNC_STAT_STRUCT* stat) {
  const char* mode = stderr_pipe == nullptr       ? "none"
                     : stderr_pipe == output_pipe ? "joined"
                                                  : "separate";
  if (fails("create '" + command_line + "' '" + option + "' " + mode)) {
    *stat = {ENOENT, 0};
    const std::string program = command_line.substr(0, command_line.find(' '));
    return boost::outcome_v2::failure(std::make_unique<THR_ERROR>(program, ENOENT));
  }
  *output_pipe = 3;
  *stdin_pipe = 4;
  return 7;
}

int thr_process_peek(unsigned long pipe, uint32_t* count) {
  const bool failed = fails("peek " + std::to_string(pipe));
  std::deque<std::string>& output = script().output;
  *count = output.empty() ? 0 : static_cast<uint32_t>(output.front().size());
  if (output.empty()) return 1;
  if (*count == 0) output.pop_front();
  return failed ? 1 : 0;
}

int thr_process_read(unsigned long pipe, void* buffer, unsigned long capacity, uint32_t* count) {
  const bool failed = fails("read " + std::to_string(pipe) + " " + std::to_string(capacity));
  std::deque<std::string>& output = script().output;
  *count = 0;
  if (output.empty() || output.front().empty()) return 1;  // a real read would block
  std::string& bytes = output.front();
  *count = failed ? 0 : static_cast<uint32_t>(std::min<size_t>(capacity, bytes.size()));
  std::memcpy(buffer, bytes.data(), *count);
  bytes.erase(0, failed ? bytes.size() : *count);
  if (bytes.empty()) output.pop_front();
  return failed ? 1 : 0;
}

int thr_process_write(unsigned long pipe, const void* data, unsigned long size, uint32_t* count) {
  const std::string text(static_cast<const char*>(data), size);
  const bool failed = fails("write " + std::to_string(pipe) + " '" + text + "'") || pipe != 4;
  *count = failed ? 0 : static_cast<uint32_t>(size);  // only the child's stdin takes bytes
  return failed ? 1 : 0;
}

int thr_process_wait(unsigned long pid, THR_PROCESS_EXIT_CODE* code, int no_hang) {
  fails("wait " + std::to_string(pid) + (no_hang != 0 ? " nohang" : ""));
  std::deque<fake_host::WAIT>& waits = script().waits;
  const fake_host::WAIT answer = waits.front();
  if (waits.size() > 1) waits.pop_front();
  if (answer.result > 0) *code = answer.code;
  return answer.result;
}

int thr_process_terminate(unsigned long pid, THR_PROCESS_EXIT_CODE code) {
  return fails("terminate " + std::to_string(pid) + " " + std::to_string(code.status) + " " +
               std::to_string(code.exit_code));
}

void thr_process_close_handle(unsigned long pid) { fails("close_handle " + std::to_string(pid)); }

void thr_process_close_pipe(unsigned long pipe) { fails("close_pipe " + std::to_string(pipe)); }

void thr_process_terminate_all() {}  // the scripted host starts no process

int32_t thr_system(const std::string& command_line) {
  fails("system '" + command_line + "'");
  return script().system_status;
}

int32_t thr_getpid() { return 4321; }

void thr_msleep(int milliseconds) {
  fails("sleep " + std::to_string(milliseconds));
  std::this_thread::yield();  // no time passes, but other threads get to run
}

int thr_win32_is() { return script().win32 ? 1 : 0; }

int thr_qt_process_events() {
  fails("pump");
  return script().events_served;
}

void thr_win32_pump_messages(int milliseconds) {
  fails("win32_pump " + std::to_string(milliseconds));
}
