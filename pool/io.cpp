// POSIX calls for the relays: every one checked, retried on EINTR, descriptors close-on-exec.
#include "pool/io.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

UNIQUE_FD& UNIQUE_FD::operator=(UNIQUE_FD&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UNIQUE_FD::release() {
  int fd = m_fd;
  m_fd = -1;
  return fd;
}

// close() is not retried on EINTR: on Linux the descriptor is gone either way.
void UNIQUE_FD::reset(int fd) {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno == EAGAIN) {
      pollfd wait{fd, POLLOUT, 0};
      poll_fds(&wait, 1, 100);
      continue;
    }
    if (count < 0) return false;
    bytes.remove_prefix(static_cast<size_t>(count));
  }
  return true;
}

ssize_t read_some(int fd, std::string* into) {
  char buffer[8192];
  ssize_t count;
  do count = ::read(fd, buffer, sizeof buffer);
  while (count < 0 && errno == EINTR);
  if (count > 0) into->append(buffer, static_cast<size_t>(count));
  return count;
}

bool make_pipe(UNIQUE_FD* read_end, UNIQUE_FD* write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end->reset(fds[0]);
  write_end->reset(fds[1]);
  return true;
}

UNIQUE_FD open_fd(const std::string& path, int flags) {
  int fd;
  do fd = ::open(path.c_str(), flags | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return UNIQUE_FD(fd);
}

bool set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

namespace {

// Attributes for a child that starts clean: own group, default dispositions, empty mask.
int clean_attributes(posix_spawnattr_t* attributes) {
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  int error = posix_spawnattr_init(attributes);
  if (error == 0) error = posix_spawnattr_setpgroup(attributes, 0);
  if (error == 0) error = posix_spawnattr_setsigdefault(attributes, &all);
  if (error == 0) error = posix_spawnattr_setsigmask(attributes, &none);
  if (error == 0)
    error = posix_spawnattr_setflags(
        attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  return error;
}

}  // namespace

std::optional<pid_t> spawn_in_group(const std::vector<std::string>& words, int in, int out, int err,
                                    std::string* error,
                                    const std::vector<std::string>& extra_environment) {
  std::vector<char*> argv, envp;
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  // The extra entries go first: getenv takes the first of equal names.
  for (const std::string& entry : extra_environment)
    envp.push_back(const_cast<char*>(entry.c_str()));
  for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
  envp.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  int failure = clean_attributes(&attributes);
  if (failure == 0) failure = posix_spawn_file_actions_init(&actions);
  const int targets[] = {in, out, err};
  for (int fd = 0; fd < 3 && failure == 0; ++fd)
    failure = posix_spawn_file_actions_adddup2(&actions, targets[fd], fd);
  pid_t pid = 0;
  if (failure == 0)
    failure = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failure == 0) return pid;
  *error = "cannot start " + words[0] + ": " + std::strerror(failure);
  return std::nullopt;
}

std::optional<int> reap(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = CLOCK::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (CLOCK::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void kill_group(pid_t pgid, int number) {
  if (pgid > 0) ::kill(-pgid, number);  // ESRCH: nothing left to end
}

UNIQUE_FD stop_signal_fd() {
  sigset_t stops;
  sigemptyset(&stops);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, number);
  if (pthread_sigmask(SIG_BLOCK, &stops, nullptr) != 0) return UNIQUE_FD();
  return UNIQUE_FD(::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK));
}

int poll_fds(pollfd* fds, size_t count, int timeout_ms) {
  int ready = ::poll(fds, count, timeout_ms);
  return ready < 0 && errno == EINTR ? 0 : ready;
}

std::string describe_status(int status) {
  if (WIFSIGNALED(status))
    return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  return "exit status " + std::to_string(WEXITSTATUS(status));
}
