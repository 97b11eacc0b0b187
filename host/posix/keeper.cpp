// The keeper: a process forked by the host that outlives it only to clean up after it.
#include "host/posix/keeper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>

#include "host/posix/posix_io.h"
#include "host/posix/unique_fd.h"

namespace {

constexpr size_t KEEPER_STACK_BYTES = 64 * 1024;
constexpr long LAST_SIGNAL = 64;
// As many as the host's own tables hold: the child table and the FIFO registry.
constexpr int LISTED_GROUPS = 1024;
constexpr int LISTED_FIFOS = 1024;
constexpr size_t PATH_BYTES = sizeof(KEEPER_RECORD::path);

// Written only in the keeper's own copy of the host's memory.
pid_t g_groups[LISTED_GROUPS];
char g_fifos[LISTED_FIFOS][PATH_BYTES];

std::mutex g_start_mutex;
std::atomic<int> g_socket{-1};
std::atomic<pid_t> g_keeper{0};
constexpr int FINISH_POLLS = 100;
constexpr long FINISH_POLL_NANOS = 10 * 1000 * 1000;  // a stopped keeper delays the exit 1 s

CHILD_CODE bool same_path(const char* a, const char* b) {
  size_t i = 0;
  while (i + 1 < PATH_BYTES && a[i] == b[i] && a[i] != '\0') ++i;
  return a[i] == b[i] || i + 1 == PATH_BYTES;
}

CHILD_CODE void copy_path(char* to, const char* from) {
  size_t i = 0;
  for (; i + 1 < PATH_BYTES && from[i] != '\0'; ++i) to[i] = from[i];
  to[i] = '\0';
}

CHILD_CODE void note_group(pid_t from, pid_t to) {
  for (pid_t& group : g_groups)
    if (group == from) {
      group = to;
      return;
    }
}

CHILD_CODE void note(const KEEPER_RECORD& record) {
  switch (record.order) {
    case KEEPER_ORDER::ADD_GROUP:
      if (record.group > 0) note_group(0, record.group);
      break;
    case KEEPER_ORDER::DROP_GROUP:
      if (record.group > 0) note_group(record.group, 0);
      break;
    case KEEPER_ORDER::ADD_FIFO:
      for (char* fifo : g_fifos)
        if (fifo[0] == '\0') {
          copy_path(fifo, record.path);
          break;
        }
      break;
    case KEEPER_ORDER::DROP_FIFO:
      for (char* fifo : g_fifos)
        if (fifo[0] != '\0' && same_path(fifo, record.path)) fifo[0] = '\0';
      break;
  }
}

// The FIFO, then its private directory.
CHILD_CODE void remove_fifo(char* path) {
  syscall(SYS_unlinkat, AT_FDCWD, path, 0);
  char* slash = nullptr;
  for (char* c = path; *c != '\0'; ++c)
    if (*c == '/') slash = c;
  if (slash == nullptr || slash == path) return;
  *slash = '\0';
  syscall(SYS_unlinkat, AT_FDCWD, path, AT_REMOVEDIR);
}

// Its own session (no terminal's signals reach it), its own name, default signals but SIGTERM,
// the terminal ones and SIGPIPE ignored (it ends with the host anyway, and a signal meant for
// the host must not end it first), an empty mask and no descriptor of the host but its socket.
CHILD_CODE void become_keeper(int socket) {
  if (socket > 0) syscall(SYS_close_range, 0, socket - 1, 0);
  syscall(SYS_close_range, socket + 1, ~0U, 0);
  syscall(SYS_setsid);
  syscall(SYS_prctl, PR_SET_NAME, "ipc keeper", 0, 0, 0);
  const KERNEL_SIGACTION default_action{SIG_DFL, 0, nullptr, 0};
  const KERNEL_SIGACTION ignore_action{SIG_IGN, 0, nullptr, 0};
  for (long number = 1; number <= LAST_SIGNAL; ++number) {
    const bool ignored = number == SIGTERM || number == SIGINT || number == SIGHUP ||
                         number == SIGQUIT || number == SIGPIPE || number == SIGTSTP ||
                         number == SIGTTIN || number == SIGTTOU;
    syscall(SYS_rt_sigaction, number, ignored ? &ignore_action : &default_action, nullptr,
            sizeof default_action.mask);
  }
  const unsigned long no_signals = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signals, nullptr, sizeof no_signals);
}

CHILD_CODE int keeper_main(void* argument) {
  const int socket = *static_cast<const int*>(argument);
  become_keeper(socket);
  KEEPER_RECORD record;
  for (;;) {
    const long n = syscall(SYS_recvfrom, socket, &record, sizeof record, 0, nullptr, nullptr);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // every copy of the host's end is closed: the host is gone
    if (n == static_cast<long>(sizeof record)) note(record);
  }
  for (pid_t group : g_groups)
    if (group > 0) syscall(SYS_kill, -group, SIGKILL);
  for (char* fifo : g_fifos)
    if (fifo[0] != '\0') remove_fifo(fifo);
  syscall(SYS_exit_group, 0);
  return 0;
}

int failed_at(const char* what, const char** step) {
  *step = what;
  return errno;
}

}  // namespace

int keeper_start(const char** step) {
  if (g_socket.load() >= 0) return 0;
  std::lock_guard<std::mutex> lock(g_start_mutex);
  if (g_socket.load() >= 0) return 0;
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
    return failed_at("socketpair for the keeper process", step);
  UNIQUE_FD host(ends[0]), keeper(ends[1]);
  std::unique_ptr<char[]> stack(new (std::nothrow) char[KEEPER_STACK_BYTES]);
  if (!stack) {
    errno = ENOMEM;
    return failed_at("memory for the keeper process", step);
  }
  int keeper_end = keeper.get();
  pid_t pid = -1;
  {
    // Until it has reset them, the keeper would run the host's handlers.
    ALL_SIGNALS_BLOCKED blocked;
    // A copy of us (no CLONE_VM) whose end signal is none: no wait of the host for "any child"
    // ever sees it, and it needs no reaping while the host lives.
    pid = __clone(keeper_main, stack.get() + KEEPER_STACK_BYTES, 0, &keeper_end);
  }
  if (pid < 0) return failed_at("clone of the keeper process", step);
  g_keeper.store(pid);
  g_socket.store(host.release());
  return 0;
}

int keeper_socket() { return g_socket.load(); }

int keeper_tell(KEEPER_ORDER order, pid_t group, const char* path) {
  const int socket = g_socket.load();
  if (socket < 0) return 0;
  KEEPER_RECORD record{order, group, {}};
  for (size_t i = 0; path != nullptr && i + 1 < PATH_BYTES && path[i] != '\0'; ++i)
    record.path[i] = path[i];
  const int saved_errno = errno;
  const ssize_t sent =
      retry_on_eintr([&] { return ::send(socket, &record, sizeof record, MSG_NOSIGNAL); });
  const int error = sent < 0 ? errno : 0;
  errno = saved_errno;
  return error;
}

void keeper_finish() {
  const pid_t keeper = g_keeper.exchange(0);
  if (keeper <= 0) return;
  const int saved_errno = errno;
  shutdown(g_socket.load(), SHUT_WR);  // not closed: a later send must not reach a reused number
  for (int poll = 0; poll < FINISH_POLLS; ++poll) {
    if (retry_on_eintr([&] { return waitpid(keeper, nullptr, __WALL | WNOHANG); }) != 0) break;
    const timespec pause{0, FINISH_POLL_NANOS};
    nanosleep(&pause, nullptr);
  }
  errno = saved_errno;
}
