#include "host/posix/spawn.h"

#include <fcntl.h>
#include <glib.h>
#include <sched.h>
#include <signal.h>
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
constexpr long LAST_SIGNAL = 64;

// What the child needs, prepared by the parent; error is the child's answer.
struct CHILD_START {
  const char* const* candidates;  // paths to try for the program, in PATH order
  char* const* argv;
  char* const* envp;
  SPAWN_PLAN plan;
  int keeper;             // the keeper's socket
  KEEPER_RECORD listing;  // lists the child's group with the keeper
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

CHILD_CODE void close_from_3() {
  if (syscall(SYS_close_range, 3, ~0U, 0) == 0) return;
  for (long fd = 3; fd < 65536; ++fd) syscall(SYS_close, fd);  // kernels without close_range
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
  close_from_3();
  const unsigned long no_signals = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signals, nullptr, sizeof no_signals);
  long error = ENOENT;
  for (const char* const* path = start->candidates; *path != nullptr; ++path) {
    long result = last_error(syscall(SYS_execve, *path, start->argv, start->envp));
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

// The interpreter a "#!" line names, as the kernel reads it: up to the first blank, so a '\r' of a
// CRLF line end is part of it. "" for a file without one.
std::string interpreter_of(int fd) {
  char head[256];  // all the kernel reads of the line
  const ssize_t size = retry_on_eintr([&] { return ::read(fd, head, sizeof head); });
  if (size < 2 || head[0] != '#' || head[1] != '!') return "";
  const std::string line(head + 2, static_cast<size_t>(size) - 2);
  const size_t begin = line.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return line.substr(begin, line.find_first_of(" \t\n", begin) - begin);
}

// The interpreter of the first candidate that exists, when that interpreter does not: why exec
// finds no such file although the program is there.
std::string missing_interpreter(const std::vector<std::string>& candidates, int directory_fd) {
  const int base = directory_fd >= 0 ? directory_fd : AT_FDCWD;
  for (const std::string& candidate : candidates) {
    UNIQUE_FD fd(
        retry_on_eintr([&] { return ::openat(base, candidate.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd && errno == ENOENT) continue;
    const std::string interpreter = fd ? interpreter_of(fd.get()) : "";
    if (interpreter.empty() || ::faccessat(base, interpreter.c_str(), F_OK, 0) == 0) return "";
    return errno == ENOENT ? interpreter : "";
  }
  return "";
}

const char* standard_name(int descriptor) {
  static const char* const NAMES[] = {"standard input", "standard output", "standard error"};
  return descriptor >= 0 && descriptor < 3 ? NAMES[descriptor] : "a standard descriptor";
}

std::string escaped(const std::string& text) {
  std::unique_ptr<gchar, decltype(&g_free)> result(g_strescape(text.c_str(), nullptr), g_free);
  return result.get();
}

std::string step_name(const SPAWN_FAILURE& failure) {
  switch (failure.step) {
    case SPAWN_STEP::TABLE_FULL:
    case SPAWN_STEP::ENDING:
      break;
    case SPAWN_STEP::REAPER:
      return "starting the thread that reaps children";
    case SPAWN_STEP::CLONE:
      return "clone";
    case SPAWN_STEP::KEEPER:
      return failure.detail;
    case SPAWN_STEP::GROUP:
      return "setpgid";
    case SPAWN_STEP::DIRECTORY:
      return "fchdir into the working directory";
    case SPAWN_STEP::NULL_DEVICE:
      return std::string("opening /dev/null for ") + standard_name(failure.descriptor);
    case SPAWN_STEP::DUP2:
      return std::string("dup2 onto ") + standard_name(failure.descriptor);
    case SPAWN_STEP::EXEC:
      break;
  }
  return "exec";
}

int failed(SPAWN_STEP step, int error, SPAWN_FAILURE* failure) {
  failure->step = step;
  failure->error = error;
  return error;
}

std::string limit_of(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return "";
  return std::to_string(limit.rlim_cur);
}

}  // namespace

std::string os_error_text(int error) {
  const std::string text = std::strerror(error);
  if (error == EAGAIN) {
    const std::string limit = limit_of(RLIMIT_NPROC);
    return text + (limit.empty() ? " (too many processes or threads)"
                                 : " (too many processes: ulimit -u is " + limit + ")");
  }
  if (error == EMFILE) {
    const std::string limit = limit_of(RLIMIT_NOFILE);
    return text + (limit.empty() ? " (too many open descriptors)"
                                 : " (too many open descriptors: ulimit -n is " + limit + ")");
  }
  if (error == ENFILE) return text + " (the system's table of open files is full)";
  return text;
}

std::string spawn_failure_text(const SPAWN_FAILURE& failure) {
  if (failure.step == SPAWN_STEP::TABLE_FULL)
    return "the table of children is full (" + std::to_string(CHILD_TABLE_SIZE) +
           " children not reaped yet)";
  if (failure.step == SPAWN_STEP::ENDING) return "the host has ended its children and starts none";
  if (failure.step != SPAWN_STEP::EXEC)
    return step_name(failure) + " failed: " + os_error_text(failure.error);
  const std::string reason = std::strerror(failure.error);
  if (failure.missing_interpreter.empty()) return reason;
  const std::string& interpreter = failure.missing_interpreter;
  std::string text = "its interpreter \"" + escaped(interpreter) + "\" is missing";
  if (interpreter.back() == '\r')
    text += "; the \\r at its end comes from Windows line ends (CRLF)";
  return text;
}

int spawn_process(char* const argv[], const SPAWN_PLAN& plan, pid_t* pid, SPAWN_FAILURE* failure) {
  SPAWN_FAILURE ignored;
  if (failure == nullptr) failure = &ignored;
  arrange_cleanup_at_exit();
  const std::vector<std::string> candidates = candidate_paths(argv[0]);
  std::vector<const char*> candidate_list;
  for (const std::string& candidate : candidates) candidate_list.push_back(candidate.c_str());
  candidate_list.push_back(nullptr);
  if (int error = child_table_start_reaper()) return failed(SPAWN_STEP::REAPER, error, failure);
  const char* keeper_step = "";
  if (int error = keeper_start(&keeper_step)) {
    failure->detail = keeper_step;
    return failed(SPAWN_STEP::KEEPER, error, failure);
  }
  CHILD_START start{candidate_list.data(),
                    argv,
                    plan.environment ? plan.environment : environ,
                    plan,
                    keeper_socket(),
                    KEEPER_RECORD{KEEPER_ORDER::ADD_GROUP, 0, {}},
                    0,
                    SPAWN_STEP::EXEC,
                    -1};
  std::unique_ptr<char[]> stack(new char[CHILD_STACK_BYTES]);
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
      child = __clone(become_program, stack.get() + CHILD_STACK_BYTES,
                      CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
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
      failure->missing_interpreter = missing_interpreter(candidates, plan.directory_fd);
    return failed(start.step, start.error, failure);
  }
  *pid = child;
  return 0;
}
