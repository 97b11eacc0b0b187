// Checked, EINTR-retried system calls shared by the host relay and the remote part.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using CLOCK = std::chrono::steady_clock;

// Seconds from then to now.
inline double seconds_since(CLOCK::time_point then) {
  return std::chrono::duration<double>(CLOCK::now() - then).count();
}

// A descriptor closed when it goes out of scope.
class UNIQUE_FD {
 public:
  UNIQUE_FD() = default;
  explicit UNIQUE_FD(int fd) : m_fd(fd) {}
  UNIQUE_FD(UNIQUE_FD&& other) noexcept : m_fd(other.release()) {}
  UNIQUE_FD& operator=(UNIQUE_FD&& other) noexcept;
  ~UNIQUE_FD() { reset(); }
  int get() const { return m_fd; }
  explicit operator bool() const { return m_fd >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int m_fd = -1;
};

// Writes all of bytes to a blocking fd; false with errno set on failure (EPIPE included).
bool write_all(int fd, std::string_view bytes);
// Reads what is there: the byte count, 0 at end of stream, -1 with errno (EAGAIN: nothing yet).
ssize_t read_some(int fd, std::string* into);
// A close-on-exec pipe; false with errno set.
bool make_pipe(UNIQUE_FD* read_end, UNIQUE_FD* write_end);
// Opens path close-on-exec; an invalid descriptor with errno set on failure.
UNIQUE_FD open_fd(const std::string& path, int flags);
// Sets O_NONBLOCK on fd.
bool set_nonblocking(int fd);
// Starts words (searched on PATH) in their own process group with default signal dispositions
// and an empty mask, fds 0-2 from in/out/err, our environment plus extra "NAME=VALUE" entries;
// the pid, or nothing with *error set.
std::optional<pid_t> spawn_in_group(const std::vector<std::string>& words, int in, int out, int err,
                                    std::string* error,
                                    const std::vector<std::string>& extra_environment = {});
// The wait status of pid once it ended; waits up to timeout (zero: only looks).
std::optional<int> reap(pid_t pid, std::chrono::milliseconds timeout);
// Signal number (SIGKILL unless said) to the process group pgid; a group already gone is no error.
void kill_group(pid_t pgid, int number = 9);
// A signalfd for SIGTERM, SIGINT and SIGHUP, which are blocked for the calling thread.
UNIQUE_FD stop_signal_fd();
// Waits for events on fds up to timeout_ms; the count of ready fds, 0 after an interruption.
int poll_fds(struct pollfd* fds, size_t count, int timeout_ms);
// "exit status N" or "signal N (NAME)" for a wait status.
std::string describe_status(int status);
