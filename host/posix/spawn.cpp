#include "host/posix/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

#include "host/posix/child_table.h"
#include "host/posix/host_exit.h"
#include "host/posix/posix_io.h"

namespace {

// Tells the parent why the child could not become the program, then ends the child.
[[noreturn]] void fail_in_child(int report_fd, int error) {
  ssize_t ignored = ::write(report_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

void reset_signal_dispositions() {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int number = 1; number < NSIG; ++number)
    sigaction(number, &default_action, nullptr);  // SIGKILL and SIGSTOP refuse: harmless
}

// 0 or the errno; descriptors of the plan are all 3 or above (see make_pipe).
int set_standard_descriptor(int target, int source) {
  if (source == SPAWN_INHERIT) return 0;
  int fd = source;
  if (source == SPAWN_NULL) {
    fd = open("/dev/null", target == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (fd < 0) return errno;
  }
  if (fd != target && dup2(fd, target) < 0) return errno;
  if (source == SPAWN_NULL && fd != target) close(fd);
  return 0;
}

void close_all_but(int keep) {
  if (close_range(3, static_cast<unsigned>(keep) - 1, 0) == 0 &&
      close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) == 0)
    return;
  for (int fd = 3; fd < 65536; ++fd)  // kernels without close_range
    if (fd != keep) close(fd);
}

// Runs in the forked child: only async-signal-safe calls until the exec.
[[noreturn]] void become_program(char* const argv[], const SPAWN_PLAN& plan, pid_t parent,
                                 int report_fd) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail_in_child(report_fd, errno);
  if (getppid() != parent) _exit(127);  // the host died before the request took hold
  if (setpgid(0, 0) != 0) fail_in_child(report_fd, errno);
  reset_signal_dispositions();
  // First, before a dup2 could land on the directory's descriptor.
  if (plan.directory_fd >= 0 && fchdir(plan.directory_fd) != 0) fail_in_child(report_fd, errno);
  for (int target = 0; target < 3; ++target)
    if (int error = set_standard_descriptor(target, plan.standard[target]))
      fail_in_child(report_fd, error);
  close_all_but(report_fd);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execvpe(argv[0], argv, plan.environment != nullptr ? plan.environment : environ);
  fail_in_child(report_fd, errno);
}

// Blocks every signal of the calling thread while alive, so no handler of the host runs in the
// forked child and none sees the child before it is in the table.
class ALL_SIGNALS_BLOCKED {
 public:
  ALL_SIGNALS_BLOCKED() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &m_old);
  }
  ~ALL_SIGNALS_BLOCKED() { pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }
  ALL_SIGNALS_BLOCKED(const ALL_SIGNALS_BLOCKED&) = delete;
  ALL_SIGNALS_BLOCKED& operator=(const ALL_SIGNALS_BLOCKED&) = delete;

 private:
  sigset_t m_old;
};

// Forks and enters the child at place; 0 with *pid, or fork's errno.
int fork_child(char* const argv[], const SPAWN_PLAN& plan, int place, int report_fd, pid_t* pid) {
  const pid_t parent = getpid();
  ALL_SIGNALS_BLOCKED blocked;
  pid_t child = fork();
  if (child < 0) return errno;
  if (child == 0) become_program(argv, plan, parent, report_fd);
  child_table_fill(place, child);
  setpgid(child, child);  // also here: a group kill must not miss a child that is still starting
  *pid = child;
  return 0;
}

}  // namespace

int spawn_process(char* const argv[], const SPAWN_PLAN& plan, pid_t* pid) {
  arrange_cleanup_at_exit();
  PIPE_ENDS report;
  if (!make_pipe(&report)) return errno;
  const int place = child_table_reserve();
  if (place < 0) return EAGAIN;
  pid_t child = 0;
  if (int error = fork_child(argv, plan, place, report.write_end.get(), &child)) {
    child_table_unreserve(place);
    return error;
  }
  report.write_end.reset();
  int exec_error = 0;
  ssize_t n =
      retry_on_eintr([&] { return ::read(report.read_end.get(), &exec_error, sizeof exec_error); });
  if (n == static_cast<ssize_t>(sizeof exec_error)) {
    int ignored_status = 0;
    child_table_wait(child, &ignored_status, false);
    return exec_error != 0 ? exec_error : ECHILD;
  }
  *pid = child;
  return 0;
}
