// System-call helpers shared by the process and named-pipe services.
#include "host/posix/posix_io.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "host/thr_process.h"

namespace {

// A stop request is noticed within this long by every wait of the host.
constexpr long long STOP_CHECK_MILLIS = 20;

// Moves fd to a number of 3 or above (close-on-exec kept); the original is closed.
bool lift_above_standard(UNIQUE_FD* fd) {
  if (fd->get() > 2) return true;
  int lifted = fcntl(fd->get(), F_DUPFD_CLOEXEC, 3);
  if (lifted < 0) return false;
  fd->reset(lifted);
  return true;
}

// Blocks SIGPIPE for the calling thread while alive; a SIGPIPE raised meanwhile is consumed
// unless one was already pending before, and the old mask comes back.
class SIGPIPE_BLOCKER {
 public:
  SIGPIPE_BLOCKER() {
    sigemptyset(&m_sigpipe);
    sigaddset(&m_sigpipe, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    m_was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &m_sigpipe, &m_old_mask);
  }
  ~SIGPIPE_BLOCKER() {
    if (m_raised && !m_was_pending) {
      const timespec zero{0, 0};
      retry_on_eintr([&] { return sigtimedwait(&m_sigpipe, nullptr, &zero); });
    }
    pthread_sigmask(SIG_SETMASK, &m_old_mask, nullptr);
  }
  SIGPIPE_BLOCKER(const SIGPIPE_BLOCKER&) = delete;
  SIGPIPE_BLOCKER& operator=(const SIGPIPE_BLOCKER&) = delete;
  void note_epipe() { m_raised = true; }

 private:
  sigset_t m_sigpipe;
  sigset_t m_old_mask;
  bool m_was_pending = false;
  bool m_raised = false;
};

}  // namespace

bool make_pipe(PIPE_ENDS* ends) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  ends->read_end.reset(fds[0]);
  ends->write_end.reset(fds[1]);
  return lift_above_standard(&ends->read_end) && lift_above_standard(&ends->write_end);
}

namespace {

// Waits until fd takes more bytes; 0, or ETIMEDOUT / EINTR (stop requested) / the poll's errno.
int wait_writable(int fd, long long deadline_millis) {
  for (;;) {
    if (thr_stop_requested()) return EINTR;
    long long slice = STOP_CHECK_MILLIS;
    if (deadline_millis >= 0) {
      long long left = deadline_millis - monotonic_millis();
      if (left <= 0) return ETIMEDOUT;
      slice = std::min(slice, left);
    }
    pollfd pfd{fd, POLLOUT, 0};
    int r = poll(&pfd, 1, static_cast<int>(slice));
    if (r > 0) return 0;  // writable, or an error the next write reports
    if (r < 0 && errno != EINTR) return errno;
  }
}

}  // namespace

int write_all_without_sigpipe(int fd, const void* data, size_t size, size_t* written,
                              long long deadline_millis) {
  SIGPIPE_BLOCKER blocker;
  const char* bytes = static_cast<const char*>(data);
  *written = 0;
  while (*written < size) {
    ssize_t n = retry_on_eintr([&] { return ::write(fd, bytes + *written, size - *written); });
    if (n >= 0) {
      *written += static_cast<size_t>(n);
      continue;
    }
    int error = errno;
    if (error == EAGAIN) error = wait_writable(fd, deadline_millis);
    if (error == 0) continue;
    if (error == EPIPE) blocker.note_epipe();
    return error;
  }
  return 0;
}
