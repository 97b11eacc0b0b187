// Starting a child with clone rather than posix_spawn. posix_spawn (with its process group, default
// signals, mask, dup2, fchdir and closefrom file actions) does nearly all of it; what it cannot do
// is list the child's group with the keeper from inside the child before its exec, so that a host
// killed between the start and the exec still leaves no child behind, and name the step that
// failed with its own errno. The child shares our memory until its exec (CLONE_VM | CLONE_VFORK:
// we wait), so its code touches nothing of ours and makes raw system calls only (CHILD_CODE), and
// __clone is called by that name so the sanitizers' clone wrapper does not take it for a thread.
#include "host/posix/spawn.h"

#include <fcntl.h>
#include <glib.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/posix/child_table.h"
#include "host/posix/host_exit.h"
#include "host/posix/keeper.h"
#include "host/posix/posix_io.h"
#include "host/posix/unique_fd.h"

extern char** environ;

namespace {

constexpr size_t CHILD_STACK_BYTES = 64 * 1024;
// Every signal, the real-time ones too: one the host ignores would stay ignored across exec. The
// C library's own (32 and 33) are free to reset: without CLONE_SIGHAND the child has its own copy
// of the dispositions, and it execs or exits next.
constexpr long LAST_SIGNAL = 64;

// The child's stack: mapped, with a guard page below it, so an overflow faults instead of writing
// over our memory.
class CHILD_STACK {
 public:
  CHILD_STACK() : m_page(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    void* base = mmap(nullptr, m_page + CHILD_STACK_BYTES, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) return;
    m_base = static_cast<char*>(base);
    if (mprotect(m_base, m_page, PROT_NONE) != 0) {
      munmap(m_base, m_page + CHILD_STACK_BYTES);
      m_base = nullptr;
    }
  }
  ~CHILD_STACK() {
    if (m_base != nullptr) munmap(m_base, m_page + CHILD_STACK_BYTES);
  }
  CHILD_STACK(const CHILD_STACK&) = delete;
  CHILD_STACK& operator=(const CHILD_STACK&) = delete;
  // The stack's top (it grows down), or null when it could not be mapped (errno set).
  char* top() const { return m_base != nullptr ? m_base + m_page + CHILD_STACK_BYTES : nullptr; }

 private:
  size_t m_page;
  char* m_base = nullptr;
};

// The highest descriptor number the host may have, for kernels without close_range.
long highest_descriptor() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 65535;
  return static_cast<long>(limit.rlim_cur) - 1;
}

// What the child needs, prepared by the parent; error is the child's answer.
struct CHILD_START {
  const char* const* candidates;  // paths to try for the program, in PATH order
  char* const* argv;
  const char** shell_argv;  // "sh", the path found, the program's arguments: for a bare script
  char* const* envp;
  SPAWN_PLAN plan;
  int keeper;             // the keeper's socket
  KEEPER_RECORD listing;  // lists the child's group with the keeper
  long highest_fd;        // closed from 3 up to this one without close_range
  int error;              // 0 once the program runs
  SPAWN_STEP step;
  int descriptor;
};

[[noreturn]] CHILD_CODE void fail_in_child(CHILD_START* start, SPAWN_STEP step, long error,
                                           int descriptor = -1) {
  start->error = static_cast<int>(error);
  start->step = step;
  start->descriptor = descriptor;
  syscall(SYS_exit, 127);
  __builtin_unreachable();
}

CHILD_CODE long last_error(long result) { return result < 0 ? errno : 0; }

// Descriptors of the plan are all 3 or above (see make_pipe).
CHILD_CODE void set_standard_descriptor(CHILD_START* start, int target) {
  const int source = start->plan.standard[target];
  if (source == SPAWN_INHERIT) return;
  long fd = source;
  if (source == SPAWN_NULL) {
    fd = syscall(SYS_openat, AT_FDCWD, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
    if (fd < 0) fail_in_child(start, SPAWN_STEP::NULL_DEVICE, errno, target);
  }
  if (fd != target && syscall(SYS_dup2, fd, target) < 0)
    fail_in_child(start, SPAWN_STEP::DUP2, errno, target);
  if (source == SPAWN_NULL && fd != target) syscall(SYS_close, fd);
}

CHILD_CODE void close_from_3(long highest_fd) {
  if (syscall(SYS_close_range, 3, ~0U, 0) == 0) return;
  for (long fd = 3; fd <= highest_fd; ++fd) syscall(SYS_close, fd);  // kernels without close_range
}

// The child: listed with the keeper, its own group, default signals, planned descriptors, then
// the program.
CHILD_CODE int become_program(void* argument) {
  CHILD_START* start = static_cast<CHILD_START*>(argument);
  // Listed before anything else: should the host die now, our copy of its end of the keeper's
  // socket keeps the keeper waiting until our exec, and then it kills our group.
  start->listing.group = static_cast<pid_t>(syscall(SYS_getpid));
  if (syscall(SYS_sendto, start->keeper, &start->listing, sizeof start->listing, MSG_NOSIGNAL,
              nullptr, 0) < 0)
    fail_in_child(start, SPAWN_STEP::KEEPER, errno);
  if (syscall(SYS_setpgid, 0, 0) != 0) fail_in_child(start, SPAWN_STEP::GROUP, errno);
  const KERNEL_SIGACTION default_action{SIG_DFL, 0, nullptr, 0};
  for (long number = 1; number <= LAST_SIGNAL; ++number)  // SIGKILL and SIGSTOP refuse: harmless
    syscall(SYS_rt_sigaction, number, &default_action, nullptr, sizeof default_action.mask);
  // First, before a dup2 could land on the directory's descriptor.
  if (start->plan.directory_fd >= 0 && syscall(SYS_fchdir, start->plan.directory_fd) != 0)
    fail_in_child(start, SPAWN_STEP::DIRECTORY, errno);
  for (int target = 0; target < 3; ++target) set_standard_descriptor(start, target);
  close_from_3(start->highest_fd);
  const unsigned long no_signals = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signals, nullptr, sizeof no_signals);
  long error = ENOENT;
  for (const char* const* path = start->candidates; *path != nullptr; ++path) {
    long result = last_error(syscall(SYS_execve, *path, start->argv, start->envp));
    if (result == ENOEXEC) {  // a script without a #! line: sh runs it, as execvp has it run
      start->shell_argv[1] = *path;
      result = last_error(syscall(SYS_execve, "/bin/sh", start->shell_argv, start->envp));
    }
    if (result == EACCES || error != EACCES) error = result;  // as execvp: EACCES wins
  }
  fail_in_child(start, SPAWN_STEP::EXEC, error);
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

int failed(SPAWN_STEP step, int error, SPAWN_FAILURE* failure) {
  failure->step = step;
  failure->error = error;
  return error;
}

}  // namespace

int spawn_process(char* const argv[], const SPAWN_PLAN& plan, pid_t* pid, SPAWN_FAILURE* failure) {
  SPAWN_FAILURE ignored;
  if (failure == nullptr) failure = &ignored;
  arrange_cleanup_at_exit();
  const std::vector<std::string> candidates = candidate_paths(argv[0]);
  std::vector<const char*> candidate_list;
  for (const std::string& candidate : candidates) candidate_list.push_back(candidate.c_str());
  candidate_list.push_back(nullptr);
  std::vector<const char*> shell_argv = {"sh", nullptr};
  for (char* const* word = argv + 1; *word != nullptr; ++word) shell_argv.push_back(*word);
  shell_argv.push_back(nullptr);
  if (int error = child_table_start_reaper()) return failed(SPAWN_STEP::REAPER, error, failure);
  const char* keeper_step = "";
  if (int error = keeper_start(&keeper_step)) {
    failure->detail = keeper_step;
    return failed(SPAWN_STEP::KEEPER, error, failure);
  }
  CHILD_START start{candidate_list.data(),
                    argv,
                    shell_argv.data(),
                    plan.environment ? plan.environment : environ,
                    plan,
                    keeper_socket(),
                    KEEPER_RECORD{KEEPER_ORDER::ADD_GROUP, 0, {}},
                    highest_descriptor(),
                    0,
                    SPAWN_STEP::EXEC,
                    -1};
  const CHILD_STACK stack;
  if (stack.top() == nullptr) return failed(SPAWN_STEP::CLONE, errno, failure);
  const int place = child_table_reserve();
  if (place < 0) return failed(SPAWN_STEP::TABLE_FULL, EAGAIN, failure);

  pid_t child = -1;
  SPAWN_STEP step = SPAWN_STEP::CLONE;
  {
    ALL_SIGNALS_BLOCKED blocked;
    // A handler on another thread may end everything while the child is not in the table yet;
    // the bracket makes it wait for the entry.
    if (child_table_begin_start()) {
      // We wait here until the child runs the program or has given up (CLONE_VFORK).
      child = __clone(become_program, stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
      if (child > 0) {
        child_table_fill(place, child);
        setpgid(child, child);  // also here: a group kill must not miss a child still starting
      }
      child_table_end_start();
    } else {
      errno = ECANCELED;
      step = SPAWN_STEP::ENDING;
    }
  }
  if (child < 0) {
    int error = errno;
    child_table_unreserve(place);
    return failed(step, error, failure);
  }
  if (start.error != 0) {
    int ignored_status = 0;
    child_table_wait(child, &ignored_status, false);
    failure->descriptor = start.descriptor;
    if (start.step == SPAWN_STEP::KEEPER)
      failure->detail = "listing its group with the keeper process";
    if (start.step == SPAWN_STEP::EXEC && start.error == ENOENT)
      failure->missing_interpreter = spawn_missing_interpreter(candidates, plan.directory_fd);
    return failed(start.step, start.error, failure);
  }
  *pid = child;
  return 0;
}
