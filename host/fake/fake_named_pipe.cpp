// Named pipes of host/thr_named_pipe.h, answered from the fake host's script; m_fd is 1 once
// connected, else -1. Either end connects alike.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/fake/fake_host.h"
#include "host/thr_named_pipe.h"

using fake_host::fails;

THR_NAMED_PIPE::THR_NAMED_PIPE(const char* name)
    : pipe_name{}, error_status(0), m_fd(-1), m_created(false) {
  std::strncpy(pipe_name, name, sizeof pipe_name - 1);
  fails(std::string("new ") + pipe_name);
  ++fake_host::live_pipes;
}

THR_NAMED_PIPE::~THR_NAMED_PIPE() {
  fails(std::string("delete ") + pipe_name);
  --fake_host::live_pipes;
}

bool THR_NAMED_PIPE::create() {
  const std::string name = "pipe" + std::to_string(++fake_host::script().pipes_made);
  if (fails("make_pipe")) {
    error_status = EACCES;
    return false;
  }
  std::strncpy(pipe_name, name.c_str(), sizeof pipe_name - 1);
  return true;
}

bool THR_NAMED_PIPE::connect() {
  if (fails(std::string("+") + pipe_name)) {
    error_status = ENXIO;
    return false;
  }
  m_fd = 1;
  return true;
}

bool THR_NAMED_PIPE::connect_r() { return connect(); }

// As with real pipes, reads and writes fail before a connect.
int32_t THR_NAMED_PIPE::read(void* buffer, unsigned long size) {
  if (fails(std::string(pipe_name) + "?") || m_fd < 0) {
    error_status = m_fd < 0 ? EBADF : EIO;
    return -1;
  }
  std::deque<std::string>& reads = fake_host::script().pipe_reads[pipe_name];
  if (reads.empty()) return 0;
  std::string& bytes = reads.front();
  const size_t taken = std::min<size_t>(size, bytes.size());
  std::memcpy(buffer, bytes.data(), taken);
  bytes.erase(0, taken);
  if (bytes.empty()) reads.pop_front();
  return static_cast<int32_t>(taken);
}

int32_t THR_NAMED_PIPE::write(const void* data, unsigned long size) {
  if (fails(pipe_name + ("<" + std::string(static_cast<const char*>(data), size))) || m_fd < 0) {
    error_status = m_fd < 0 ? EBADF : EPIPE;
    return -1;
  }
  return static_cast<int32_t>(size);
}

void THR_NAMED_PIPE::remove() { fails(std::string("remove ") + pipe_name); }
