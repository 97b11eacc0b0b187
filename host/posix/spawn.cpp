#include "host/posix/spawn.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/posix/child_table.h"
#include "host/posix/host_exit.h"

extern char** environ;
// clone under the C library's other name: sanitizers wrap clone and would take this vfork-like
// start for a fork.
extern "C" int __clone(int (*function)(void*), void* stack, int flags, void* argument, ...);

// The child runs in our memory until its exec (like vfork), so its code must touch nothing of
// ours: no lock, no allocator, no sanitizer bookkeeping. It makes raw system calls only.
#define CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined")))

namespace {

constexpr size_t CHILD_STACK_BYTES = 64 * 1024;
constexpr long LAST_SIGNAL = 64;

// What the child needs, prepared by the parent; error is the child's answer.
struct CHILD_START {
  const char* const* candidates;  // paths to try for the program, in PATH order
  char* const* argv;
  char* const* envp;
  SPAWN_PLAN plan;
  pid_t parent;
  int error;  // 0 once the program runs
};

// The kernel's own sigaction record (not libc's), for the raw call.
struct KERNEL_SIGACTION {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  unsigned long mask;
};

[[noreturn]] CHILD_CODE void fail_in_child(CHILD_START* start, long error) {
  start->error = static_cast<int>(error);
  syscall(SYS_exit, 127);
  __builtin_unreachable();
}

CHILD_CODE long last_error(long result) { return result < 0 ? errno : 0; }

// 0 or the errno; descriptors of the plan are all 3 or above (see make_pipe).
CHILD_CODE long set_standard_descriptor(int target, int source) {
  if (source == SPAWN_INHERIT) return 0;
  long fd = source;
  if (source == SPAWN_NULL) {
    fd = syscall(SYS_openat, AT_FDCWD, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
    if (fd < 0) return errno;
  }
  if (fd != target && syscall(SYS_dup2, fd, target) < 0) return errno;
  if (source == SPAWN_NULL && fd != target) syscall(SYS_close, fd);
  return 0;
}

CHILD_CODE void close_from_3() {
  if (syscall(SYS_close_range, 3, ~0U, 0) == 0) return;
  for (long fd = 3; fd < 65536; ++fd) syscall(SYS_close, fd);  // kernels without close_range
}

// The child: its own group, default signals, planned descriptors, then the program.
CHILD_CODE int become_program(void* argument) {
  CHILD_START* start = static_cast<CHILD_START*>(argument);
  if (syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) fail_in_child(start, errno);
  if (syscall(SYS_getppid) != start->parent) syscall(SYS_exit, 127);  // the host already died
  if (syscall(SYS_setpgid, 0, 0) != 0) fail_in_child(start, errno);
  const KERNEL_SIGACTION default_action{SIG_DFL, 0, nullptr, 0};
  for (long number = 1; number <= LAST_SIGNAL; ++number)  // SIGKILL and SIGSTOP refuse: harmless
    syscall(SYS_rt_sigaction, number, &default_action, nullptr, sizeof default_action.mask);
  // First, before a dup2 could land on the directory's descriptor.
  if (start->plan.directory_fd >= 0 && syscall(SYS_fchdir, start->plan.directory_fd) != 0)
    fail_in_child(start, errno);
  for (int target = 0; target < 3; ++target)
    if (long error = set_standard_descriptor(target, start->plan.standard[target]))
      fail_in_child(start, error);
  close_from_3();
  const unsigned long no_signals = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signals, nullptr, sizeof no_signals);
  long error = ENOENT;
  for (const char* const* path = start->candidates; *path != nullptr; ++path) {
    long result = last_error(syscall(SYS_execve, *path, start->argv, start->envp));
    if (result == EACCES || error != EACCES) error = result;  // as execvp: EACCES wins
  }
  fail_in_child(start, error);
}

// Where the program may be: itself when it names a path, else each PATH directory's entry.
std::vector<std::string> candidate_paths(const char* program) {
  if (std::string(program).find('/') != std::string::npos) return {program};
  const char* path = std::getenv("PATH");
  std::string directories = path != nullptr ? path : "/bin:/usr/bin";
  std::vector<std::string> candidates;
  for (size_t begin = 0; begin <= directories.size();) {
    size_t end = directories.find(':', begin);
    if (end == std::string::npos) end = directories.size();
    std::string directory = directories.substr(begin, end - begin);
    candidates.push_back((directory.empty() ? "." : directory) + "/" + program);
    begin = end + 1;
  }
  return candidates;
}

// Blocks every signal of the calling thread while alive, so no handler of the host runs before
// the child is in the table.
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

}  // namespace

int spawn_process(char* const argv[], const SPAWN_PLAN& plan, pid_t* pid) {
  arrange_cleanup_at_exit();
  const std::vector<std::string> candidates = candidate_paths(argv[0]);
  std::vector<const char*> candidate_list;
  for (const std::string& candidate : candidates) candidate_list.push_back(candidate.c_str());
  candidate_list.push_back(nullptr);
  CHILD_START start{candidate_list.data(),
                    argv,
                    plan.environment ? plan.environment : environ,
                    plan,
                    getpid(),
                    0};
  std::unique_ptr<char[]> stack(new char[CHILD_STACK_BYTES]);
  const int place = child_table_reserve();
  if (place < 0) return EAGAIN;

  pid_t child = -1;
  {
    ALL_SIGNALS_BLOCKED blocked;
    // A handler on another thread may end everything while the child is not in the table yet;
    // the bracket makes it wait for the entry.
    if (child_table_begin_start()) {
      // We wait here until the child runs the program or has given up (CLONE_VFORK).
      child = __clone(become_program, stack.get() + CHILD_STACK_BYTES,
                      CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
      if (child > 0) {
        child_table_fill(place, child);
        setpgid(child, child);  // also here: a group kill must not miss a child still starting
      }
      child_table_end_start();
    } else {
      errno = ECANCELED;  // the host is ending
    }
  }
  if (child < 0) {
    int error = errno;
    child_table_unreserve(place);
    return error;
  }
  if (start.error != 0) {
    int ignored_status = 0;
    child_table_wait(child, &ignored_status, false);
    return start.error;
  }
  *pid = child;
  return 0;
}
