// What a failed start says: the step, its errno with the limit behind it, and the missing
// interpreter of a script.
#include <fcntl.h>
#include <glib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/posix/child_table.h"
#include "host/posix/posix_io.h"
#include "host/posix/spawn.h"
#include "host/posix/unique_fd.h"

namespace {

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

std::string limit_of(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return "";
  return std::to_string(limit.rlim_cur);
}

}  // namespace

std::string spawn_missing_interpreter(const std::vector<std::string>& candidates,
                                      int directory_fd) {
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
