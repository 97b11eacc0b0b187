// Named pipes, real: a FIFO in a private directory, its connections, reads, writes and removal.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "host/posix/child_table.h"
#include "host/posix/fifo_registry.h"
#include "host/posix/host_exit.h"
#include "host/posix/keeper.h"
#include "host/posix/posix_io.h"
#include "host/settings.h"
#include "host/thr_named_pipe.h"
#include "host/thr_process.h"
#include "services/shell_words.h"

namespace {

constexpr const char* DIRECTORY_PREFIX = "ipc-fifo-";
constexpr const char* FIFO_NAME = "/pipe";
constexpr int CONNECT_RETRY_MILLIS = 10;

// $TMPDIR when its path needs no quoting, else /tmp: a pipe's name travels on command lines
// unquoted, so it may hold no blank or character a shell or word splitter would act on.
std::string temporary_root() {
  const char* root = std::getenv("TMPDIR");
  return root != nullptr && root[0] == '/' && shell_is_plain_word(root) ? root : "/tmp";
}

std::string parent_directory(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Only the private directories made by create() are removed along with their FIFO.
bool is_private_directory(const std::string& directory) {
  auto slash = directory.rfind('/');
  std::string base = slash == std::string::npos ? directory : directory.substr(slash + 1);
  return base.compare(0, std::strlen(DIRECTORY_PREFIX), DIRECTORY_PREFIX) == 0;
}

void close_descriptor(int* fd) { UNIQUE_FD closing(std::exchange(*fd, -1)); }

// Why a connect stops waiting for its reader: 0 while it may go on.
int reason_to_give_up(long long deadline) {
  if (thr_stop_requested()) return EINTR;
  // The reader is the child started last on this thread; once it has ended none will come.
  if (child_table_last_started_has_ended()) return ECHILD;
  if (monotonic_millis() >= deadline) return ETIMEDOUT;
  return 0;
}

// True once every writer that had opened the FIFO has closed it.
bool writers_gone(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  return retry_on_eintr([&] { return poll(&pfd, 1, 0); }) > 0 && (pfd.revents & POLLHUP) != 0;
}

}  // namespace

THR_NAMED_PIPE::THR_NAMED_PIPE(const char* name)
    : pipe_name{}, error_status(0), m_fd(-1), m_created(false) {
  if (name != nullptr) std::strncpy(pipe_name, name, sizeof pipe_name - 1);
}

// A FIFO this object made goes with it, whether or not anyone connected.
THR_NAMED_PIPE::~THR_NAMED_PIPE() {
  close_descriptor(&m_fd);
  if (m_created) remove();
}

bool THR_NAMED_PIPE::create() {
  arrange_cleanup_at_exit();
  const char* keeper_step = "";
  if (int error = keeper_start(&keeper_step)) {  // it removes the FIFO should the host be killed
    error_status = error;
    return false;
  }
  std::string directory = temporary_root() + "/" + DIRECTORY_PREFIX + "XXXXXX";
  if (mkdtemp(directory.data()) == nullptr) {  // mode 0700
    error_status = errno;
    return false;
  }
  std::string path = directory + FIFO_NAME;
  if (path.size() >= sizeof pipe_name || mkfifo(path.c_str(), 0600) != 0) {
    error_status = path.size() >= sizeof pipe_name ? ENAMETOOLONG : errno;
    rmdir(directory.c_str());
    return false;
  }
  if (!fifo_registry_add(path.c_str())) {  // unlisted, it would outlive the host
    error_status = ENOSPC;
    unlink(path.c_str());
    rmdir(directory.c_str());
    return false;
  }
  std::memset(pipe_name, 0, sizeof pipe_name);
  std::memcpy(pipe_name, path.data(), path.size());
  m_created = true;
  return true;
}

void THR_NAMED_PIPE::unlink_once_both_ends_open() {
  if (m_created) remove();
}

bool THR_NAMED_PIPE::connect() {
  close_descriptor(&m_fd);
  const long long deadline =
      monotonic_millis() + std::max(0, setting_number(SETTING_PIPE_CONNECT_TIMEOUT));
  // Opening the write end without a reader fails with ENXIO instead of blocking; retry until
  // a reader comes or there is no point waiting. The end stays non-blocking: writes are bounded.
  for (;;) {
    int fd = retry_on_eintr([&] { return open(pipe_name, O_WRONLY | O_NONBLOCK | O_CLOEXEC); });
    if (fd >= 0) {
      m_fd = fd;
      unlink_once_both_ends_open();
      return true;
    }
    if (errno != ENXIO) break;
    if (int reason = reason_to_give_up(deadline)) {
      errno = reason;
      break;
    }
    thr_msleep(CONNECT_RETRY_MILLIS);
  }
  error_status = errno;
  return false;
}

bool THR_NAMED_PIPE::connect_r() {
  close_descriptor(&m_fd);
  m_fd = retry_on_eintr([&] { return open(pipe_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
  if (m_fd >= 0) return true;
  error_status = errno;
  return false;
}

int32_t THR_NAMED_PIPE::read(void* buffer, unsigned long size) {
  if (m_fd < 0) {
    error_status = EBADF;
    return -1;
  }
  size_t wanted = std::min<unsigned long>(size, INT32_MAX);
  ssize_t n = retry_on_eintr([&] { return ::read(m_fd, buffer, wanted); });
  if (n > 0) {
    unlink_once_both_ends_open();  // data came, so the writer has it open
    return static_cast<int32_t>(n);
  }
  if (n == 0 && writers_gone(m_fd)) {
    error_status = EPIPE;  // the writer ended: nothing will come any more
    return -1;
  }
  if (n == 0 || errno == EAGAIN) return 0;  // nothing waits, or no writer yet
  error_status = errno;
  return -1;
}

int32_t THR_NAMED_PIPE::write(const void* data, unsigned long size) {
  if (m_fd < 0 || size > INT32_MAX) {
    error_status = m_fd < 0 ? EBADF : EINVAL;
    return -1;
  }
  const long long deadline =
      monotonic_millis() + std::max(0, setting_number(SETTING_PIPE_WRITE_TIMEOUT));
  size_t written = 0;
  if (int error = write_all_without_sigpipe(m_fd, data, size, &written, deadline)) {
    error_status = error;
    return -1;
  }
  return static_cast<int32_t>(written);
}

void THR_NAMED_PIPE::remove() {
  m_created = false;  // nothing left for a read or the destructor to remove
  if (pipe_name[0] == '\0') return;
  fifo_registry_remove(pipe_name);
  unlink(pipe_name);
  std::string directory = parent_directory(pipe_name);
  if (!directory.empty() && is_private_directory(directory)) rmdir(directory.c_str());
}
