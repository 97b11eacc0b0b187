// Named pipes of host/thr_named_pipe.h, answered from the fake host's scripts. An object finds its
// script by its pipe_name; m_fd is 1 while connected (either end), else -1.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/fake/fake_state.h"
#include "host/thr_named_pipe.h"

using fake_host::detail::begin_call;
using fake_host::detail::LOCK;
using fake_host::detail::PIPE_READ;
using fake_host::detail::PIPE_RECORD;
using fake_host::detail::state;
using fake_host::detail::STATE;

namespace {

void set_name(char (&pipe_name)[256], const std::string& name) {
  std::memset(pipe_name, 0, sizeof pipe_name);
  std::memcpy(pipe_name, name.data(), std::min(name.size(), sizeof pipe_name - 1));
}

// Takes bytes from the front read script, leaving any rest for the next read.
int32_t take_bytes(PIPE_RECORD& pipe, void* buffer, unsigned long size) {
  std::string& bytes = pipe.reads.front().bytes;
  size_t taken = std::min<size_t>(size, bytes.size());
  std::memcpy(buffer, bytes.data(), taken);
  bytes.erase(0, taken);
  if (bytes.empty()) pipe.reads.pop_front();
  return static_cast<int32_t>(taken);
}

}  // namespace

THR_NAMED_PIPE::THR_NAMED_PIPE(const char* name)
    : pipe_name{}, error_status(0), m_fd(-1), m_created(false) {
  if (name != nullptr) set_name(pipe_name, name);
  begin_call(std::string("pipe_new ") + pipe_name);
  STATE& s = state();
  LOCK lock(s.mutex);
  ++s.live_pipes;
}

THR_NAMED_PIPE::~THR_NAMED_PIPE() {
  begin_call(std::string("pipe_delete ") + pipe_name);
  STATE& s = state();
  LOCK lock(s.mutex);
  --s.live_pipes;
}

bool THR_NAMED_PIPE::create() {
  begin_call("pipe_create");
  STATE& s = state();
  LOCK lock(s.mutex);
  int n = ++s.pipe_creates;
  if (s.failing_pipe_creates.count(n) != 0) {
    error_status = EACCES;
    return false;
  }
  std::string name = "/fake/pipe" + std::to_string(n);
  set_name(pipe_name, name);
  s.pipes[name];
  m_created = true;
  return true;
}

bool THR_NAMED_PIPE::connect() {
  begin_call(std::string("pipe_connect ") + pipe_name);
  STATE& s = state();
  LOCK lock(s.mutex);
  PIPE_RECORD& pipe = s.pipes[pipe_name];
  if (pipe_name[0] == '\0' || pipe.connect_fails) {
    error_status = ENXIO;
    return false;
  }
  m_fd = 1;
  return true;
}

bool THR_NAMED_PIPE::connect_r() {
  begin_call(std::string("pipe_connect_r ") + pipe_name);
  STATE& s = state();
  LOCK lock(s.mutex);
  PIPE_RECORD& pipe = s.pipes[pipe_name];
  if (pipe_name[0] == '\0' || pipe.connect_r_fails) {
    error_status = ENOENT;
    return false;
  }
  m_fd = 1;
  return true;
}

int32_t THR_NAMED_PIPE::read(void* buffer, unsigned long size) {
  begin_call(std::string("pipe_read ") + pipe_name);
  STATE& s = state();
  LOCK lock(s.mutex);
  PIPE_RECORD& pipe = s.pipes[pipe_name];
  if (m_fd < 0) {
    error_status = EBADF;
    return -1;
  }
  if (pipe.reads.empty()) return 0;
  if (pipe.reads.front().kind == PIPE_READ::BYTES) return take_bytes(pipe, buffer, size);
  PIPE_READ::KIND kind = pipe.reads.front().kind;
  pipe.reads.pop_front();
  if (kind == PIPE_READ::NOTHING) return 0;
  error_status = EIO;
  return -1;
}

int32_t THR_NAMED_PIPE::write(const void* data, unsigned long size) {
  std::string text(static_cast<const char*>(data), size);
  begin_call(std::string("pipe_write ") + pipe_name + " '" + text + "'");
  STATE& s = state();
  LOCK lock(s.mutex);
  PIPE_RECORD& pipe = s.pipes[pipe_name];
  bool ok = m_fd >= 0;
  if (!pipe.write_results.empty()) {
    ok = ok && pipe.write_results.front();
    pipe.write_results.pop_front();
  }
  if (!ok) {
    error_status = m_fd < 0 ? EBADF : EPIPE;
    return -1;
  }
  return static_cast<int32_t>(size);
}

void THR_NAMED_PIPE::remove() { begin_call(std::string("pipe_remove ") + pipe_name); }
