// Sole owner of one file descriptor: move-only, closes it exactly once.
#pragma once

#include <unistd.h>

#include <utility>

class UNIQUE_FD {
 public:
  UNIQUE_FD() = default;
  explicit UNIQUE_FD(int fd) : m_fd(fd) {}
  ~UNIQUE_FD() { reset(); }
  UNIQUE_FD(UNIQUE_FD&& other) noexcept : m_fd(other.release()) {}
  UNIQUE_FD& operator=(UNIQUE_FD&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UNIQUE_FD(const UNIQUE_FD&) = delete;
  UNIQUE_FD& operator=(const UNIQUE_FD&) = delete;

  int get() const { return m_fd; }
  bool valid() const { return m_fd >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  int release() { return std::exchange(m_fd, -1); }

  // Closes the owned descriptor (never retried: the descriptor is gone even on EINTR).
  void reset(int fd = -1) {
    int old = std::exchange(m_fd, fd);
    if (old >= 0) ::close(old);
  }

 private:
  int m_fd = -1;
};
