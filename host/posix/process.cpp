#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "host/posix/child_table.h"
#include "host/posix/posix_io.h"
#include "host/posix/spawn.h"
#include "host/thr_process.h"

extern char** environ;

namespace {

// A command line that cannot be split into words; the reason comes from the splitter.
class COMMAND_LINE_ERROR : public THR_ERROR {
 public:
  COMMAND_LINE_ERROR(std::string command_line, std::string reason)
      : THR_ERROR(std::move(command_line), EINVAL), m_reason(std::move(reason)) {}
  BRANTOR_ERROR_MESSAGE* make_error_message() const override {
    return new BRANTOR_ERROR_MESSAGE("Cannot split the command line \"" + program() +
                                     "\" into words: " + m_reason);
  }

 private:
  std::string m_reason;
};

// A process option this host does not know.
class OPTION_ERROR : public THR_ERROR {
 public:
  OPTION_ERROR(std::string program, std::string option)
      : THR_ERROR(std::move(program), EINVAL), m_option(std::move(option)) {}
  BRANTOR_ERROR_MESSAGE* make_error_message() const override {
    return new BRANTOR_ERROR_MESSAGE("Cannot start program \"" + program() +
                                     "\": unknown process option \"" + m_option + "\"");
  }

 private:
  std::string m_option;
};

// The pipe ends handed out to callers. Handles are never reused, so a handle kept after its
// close cannot reach a later pipe that got the same descriptor number. Shared ownership lets a
// read in progress keep its descriptor while another thread closes the handle.
class PIPE_REGISTRY {
 public:
  unsigned long add(UNIQUE_FD fd) {
    auto owner = std::make_shared<UNIQUE_FD>(std::move(fd));
    std::lock_guard<std::mutex> lock(m_mutex);
    unsigned long handle = m_next_handle++;
    m_pipes[handle] = std::move(owner);
    return handle;
  }
  std::shared_ptr<UNIQUE_FD> find(unsigned long handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pipes.find(handle);
    return it == m_pipes.end() ? nullptr : it->second;
  }
  void remove(unsigned long handle) {
    std::shared_ptr<UNIQUE_FD> closing;  // closed outside the lock
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pipes.find(handle);
    if (it == m_pipes.end()) return;
    closing = std::move(it->second);
    m_pipes.erase(it);
  }

 private:
  std::mutex m_mutex;
  std::map<unsigned long, std::shared_ptr<UNIQUE_FD>> m_pipes;
  unsigned long m_next_handle = 1;  // 0 stays "no pipe"
};

PIPE_REGISTRY& pipes() {
  static PIPE_REGISTRY* registry = new PIPE_REGISTRY;  // never destroyed: used by exit handlers
  return *registry;
}

using WORDS = std::unique_ptr<gchar*, decltype(&g_strfreev)>;

std::unique_ptr<THR_ERROR> split_words(const std::string& command_line, WORDS* words) {
  gchar** argv = nullptr;
  GError* error = nullptr;
  if (g_shell_parse_argv(command_line.c_str(), nullptr, &argv, &error)) {
    words->reset(argv);
    return nullptr;
  }
  std::string reason = error != nullptr ? error->message : "unknown reason";
  g_clear_error(&error);
  return std::make_unique<COMMAND_LINE_ERROR>(command_line, reason);
}

// "" or "cwd=DIR"; false for anything else.
bool parse_option(const std::string& option, std::string* directory) {
  static const std::string CWD = "cwd=";
  if (option.empty()) return true;
  if (option.compare(0, CWD.size(), CWD) != 0 || option.size() == CWD.size()) return false;
  *directory = option.substr(CWD.size());
  return true;
}

struct CHILD_PIPES {
  PIPE_ENDS output;
  PIPE_ENDS input;
};

int make_child_pipes(bool want_output, bool want_input, CHILD_PIPES* pipes) {
  if (want_output && !make_pipe(&pipes->output)) return errno;
  if (want_input && !make_pipe(&pipes->input)) return errno;
  return 0;
}

void plan_descriptors(const CHILD_PIPES& child, bool join_stderr, const std::string& directory,
                      SPAWN_FILE_ACTIONS* actions) {
  if (child.input.read_end)
    actions->move_fd(child.input.read_end.get(), STDIN_FILENO);
  else
    actions->open_null(STDIN_FILENO, O_RDONLY);
  if (child.output.write_end) {
    actions->move_fd(child.output.write_end.get(), STDOUT_FILENO);
    if (join_stderr) actions->move_fd(child.output.write_end.get(), STDERR_FILENO);
  }
  if (!directory.empty()) actions->change_directory(directory.c_str());
  actions->close_the_rest();
}

int spawn_child(gchar** argv, const CHILD_PIPES& child, bool join_stderr,
                const std::string& directory, pid_t* pid) {
  SPAWN_ATTRIBUTES attributes(true);
  SPAWN_FILE_ACTIONS actions;
  plan_descriptors(child, join_stderr, directory, &actions);
  if (attributes.error() != 0) return attributes.error();
  if (actions.error() != 0) return actions.error();
  // glibc's posix_spawn waits for the exec (the child shares our memory until then), so an exec
  // failure comes back here as the result.
  return posix_spawnp(pid, argv[0], actions.get(), attributes.get(), argv, environ);
}

void fill_stat(THR_SYS_FUNC_STAT_STRUCT* stat, int os_error,
               std::chrono::steady_clock::time_point start) {
  if (stat == nullptr) return;
  stat->os_error = os_error;
  stat->spawn_nanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count();
}

THR_PROCESS_CREATE_RESULT failure(std::unique_ptr<THR_ERROR> error, THR_SYS_FUNC_STAT_STRUCT* stat,
                                  std::chrono::steady_clock::time_point start) {
  fill_stat(stat, error->os_error(), start);
  return THR_PROCESS_CREATE_RESULT(std::move(error));
}

bool valid_pid(unsigned long pid) { return pid > 0 && pid <= static_cast<unsigned long>(INT_MAX); }

}  // namespace

THR_ERROR::THR_ERROR(std::string program, int os_error)
    : m_program(std::move(program)), m_os_error(os_error) {}

THR_ERROR::~THR_ERROR() = default;

BRANTOR_ERROR_MESSAGE* THR_ERROR::make_error_message() const {
  return new BRANTOR_ERROR_MESSAGE("Cannot start program \"" + m_program +
                                   "\": " + std::generic_category().message(m_os_error));
}

THR_PROCESS_CREATE_RESULT thr_process_create2(const std::string& command_line,
                                              const std::string& option, unsigned long* output_pipe,
                                              unsigned long* stderr_pipe, unsigned long* stdin_pipe,
                                              THR_SYS_FUNC_STAT_STRUCT* stat) {
  const auto start = std::chrono::steady_clock::now();
  WORDS words(nullptr, g_strfreev);
  if (auto error = split_words(command_line, &words)) return failure(std::move(error), stat, start);
  const std::string program = words.get()[0];
  std::string directory;
  if (!parse_option(option, &directory))
    return failure(std::make_unique<OPTION_ERROR>(program, option), stat, start);

  CHILD_PIPES child;
  if (int e = make_child_pipes(output_pipe != nullptr, stdin_pipe != nullptr, &child))
    return failure(std::make_unique<THR_ERROR>(program, e), stat, start);
  const int place = child_table_reserve();
  if (place < 0) return failure(std::make_unique<THR_ERROR>(program, EAGAIN), stat, start);

  const bool join_stderr = stderr_pipe != nullptr && stderr_pipe == output_pipe;
  pid_t pid = 0;
  if (int e = spawn_child(words.get(), child, join_stderr, directory, &pid)) {
    child_table_unreserve(place);
    return failure(std::make_unique<THR_ERROR>(program, e), stat, start);
  }
  child_table_fill(place, pid);
  if (output_pipe != nullptr) *output_pipe = pipes().add(std::move(child.output.read_end));
  if (stdin_pipe != nullptr) *stdin_pipe = pipes().add(std::move(child.input.write_end));
  fill_stat(stat, 0, start);
  return THR_PROCESS_CREATE_RESULT(static_cast<unsigned long>(pid));
}

int thr_process_peek(unsigned long pipe, uint32_t* count) {
  *count = 0;
  auto fd = pipes().find(pipe);
  if (!fd) return -1;
  // Poll before counting: a hang-up seen first with nothing counted after means nothing can come.
  pollfd pfd{fd->get(), POLLIN, 0};
  if (retry_on_eintr([&] { return poll(&pfd, 1, 0); }) < 0) return -1;
  int waiting = 0;
  if (ioctl(fd->get(), FIONREAD, &waiting) != 0) return -1;
  if (waiting > 0) {
    *count = static_cast<uint32_t>(waiting);
    return 0;
  }
  return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? 1 : 0;
}

int thr_process_read(unsigned long pipe, void* buffer, unsigned long capacity, uint32_t* count) {
  *count = 0;
  auto fd = pipes().find(pipe);
  if (!fd) return -1;
  size_t wanted = capacity > UINT32_MAX ? UINT32_MAX : capacity;
  ssize_t n = retry_on_eintr([&] { return ::read(fd->get(), buffer, wanted); });
  if (n < 0) return errno;
  *count = static_cast<uint32_t>(n);
  return n == 0 && wanted > 0 ? 1 : 0;  // end of the pipe
}

int thr_process_write(unsigned long pipe, const void* data, unsigned long size, uint32_t* count) {
  *count = 0;
  auto fd = pipes().find(pipe);
  if (!fd) return -1;
  size_t written = 0;
  int error = write_all_without_sigpipe(fd->get(), data, size, &written);
  *count = static_cast<uint32_t>(written > UINT32_MAX ? UINT32_MAX : written);
  return error;
}

int thr_process_wait(unsigned long pid, THR_PROCESS_EXIT_CODE* code, int no_hang) {
  if (!valid_pid(pid)) return -1;
  int raw_status = 0;
  int r = child_table_wait(static_cast<pid_t>(pid), &raw_status, no_hang != 0);
  if (r != 1) return r;
  if (code != nullptr) {
    code->status = raw_status;
    code->exit_code = WIFEXITED(raw_status) ? WEXITSTATUS(raw_status) : 0;
  }
  return 1;
}

// The requested exit code cannot be imposed on a killed POSIX process; its wait status says
// SIGKILL.
int thr_process_terminate(unsigned long pid, THR_PROCESS_EXIT_CODE /*code*/) {
  if (!valid_pid(pid)) return -1;
  return child_table_terminate(static_cast<pid_t>(pid)) == 0 ? 0 : 1;
}

void thr_process_close_handle(unsigned long pid) {
  if (valid_pid(pid)) child_table_forget(static_cast<pid_t>(pid));
}

void thr_process_close_pipe(unsigned long pipe) { pipes().remove(pipe); }

int32_t thr_system(const std::string& command_line) {
  constexpr int32_t SHELL_NOT_STARTED = 127 << 8;  // what a shell reports for a missing command
  SPAWN_ATTRIBUTES attributes(false);
  SPAWN_FILE_ACTIONS actions;
  actions.close_the_rest();
  if (attributes.error() != 0 || actions.error() != 0) return SHELL_NOT_STARTED;
  std::vector<char*> argv = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                             const_cast<char*>(command_line.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", actions.get(), attributes.get(), argv.data(), environ) != 0)
    return SHELL_NOT_STARTED;
  int status = 0;
  if (retry_on_eintr([&] { return waitpid(pid, &status, 0); }) != pid) return SHELL_NOT_STARTED;
  return status;
}

int32_t thr_getpid() { return static_cast<int32_t>(getpid()); }

void thr_msleep(int milliseconds) {
  if (milliseconds <= 0) {
    std::this_thread::yield();
    return;
  }
  timespec remaining{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

int thr_win32_is() { return 0; }
