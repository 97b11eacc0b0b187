#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "host/msg.h"
#include "host/posix/child_table.h"
#include "host/posix/fifo_registry.h"
#include "host/posix/host_exit.h"
#include "host/posix/keeper.h"
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

// A working directory the child cannot be started in: the directory is at fault, not the program.
class DIRECTORY_ERROR : public THR_ERROR {
 public:
  DIRECTORY_ERROR(std::string program, std::string directory, int os_error)
      : THR_ERROR(std::move(program), os_error), m_directory(std::move(directory)) {}
  BRANTOR_ERROR_MESSAGE* make_error_message() const override {
    return new BRANTOR_ERROR_MESSAGE("Cannot use \"" + m_directory +
                                     "\" as the working directory of \"" + program() +
                                     "\": " + std::generic_category().message(os_error()));
  }

 private:
  std::string m_directory;
};

// A step of the start failed; only a failed exec is the program's own fault.
class START_ERROR : public THR_ERROR {
 public:
  START_ERROR(std::string program, int os_error, std::string reason, bool exec)
      : THR_ERROR(std::move(program), os_error), m_reason(std::move(reason)), m_exec(exec) {}
  BRANTOR_ERROR_MESSAGE* make_error_message() const override {
    return new BRANTOR_ERROR_MESSAGE("Cannot start program \"" + program() + "\": " + m_reason);
  }
  bool is_exec_failure() const override { return m_exec; }

 private:
  std::string m_reason;
  bool m_exec;
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

// What the process option asks for.
struct PROCESS_SETTINGS {
  std::string directory;
  std::vector<std::string> environment;  // NAME=VALUE, later ones win
};

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool parse_option_word(const std::string& word, PROCESS_SETTINGS* settings) {
  if (starts_with(word, "cwd=") && word.size() > 4) {
    settings->directory = word.substr(4);
    return true;
  }
  if (starts_with(word, "env=") && word.size() > 4 && word[4] != '=' &&
      word.find('=', 4) != std::string::npos) {
    settings->environment.push_back(word.substr(4));
    return true;
  }
  return false;
}

// Words split like a command line, each "cwd=DIR" or "env=NAME=VALUE"; false for anything else.
bool parse_option(const std::string& option, PROCESS_SETTINGS* settings) {
  if (option.find_first_not_of(" \t\n") == std::string::npos) return true;
  gchar** argv = nullptr;
  if (!g_shell_parse_argv(option.c_str(), nullptr, &argv, nullptr)) return false;
  WORDS words(argv, g_strfreev);
  for (gchar** word = argv; *word != nullptr; ++word)
    if (!parse_option_word(*word, settings)) return false;
  return true;
}

// Our environment with the overrides applied; the strings live as long as the result.
std::vector<std::string> child_environment(const std::vector<std::string>& overrides) {
  std::map<std::string, std::string> variables;
  std::vector<std::string> order;
  auto put = [&](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('='));
    if (variables.count(name) == 0) order.push_back(name);
    variables[name] = entry;
  };
  for (char** entry = environ; *entry != nullptr; ++entry) put(*entry);
  for (const std::string& entry : overrides) put(entry);
  std::vector<std::string> result;
  for (const std::string& name : order) result.push_back(variables[name]);
  return result;
}

// Opened here, so a directory that cannot be used is told apart from a program that cannot run.
int open_directory(const std::string& directory, UNIQUE_FD* fd) {
  if (directory.empty()) return 0;
  fd->reset(
      retry_on_eintr([&] { return ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
  if (!*fd) return errno;
  if (::access(directory.c_str(), X_OK) != 0) return errno;
  return 0;
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

SPAWN_PLAN plan_descriptors(const CHILD_PIPES& child, bool join_stderr,
                            const UNIQUE_FD& directory) {
  SPAWN_PLAN plan;
  plan.standard[STDIN_FILENO] = child.input.read_end ? child.input.read_end.get() : SPAWN_NULL;
  if (child.output.write_end) {
    plan.standard[STDOUT_FILENO] = child.output.write_end.get();
    if (join_stderr) plan.standard[STDERR_FILENO] = child.output.write_end.get();
  }
  plan.directory_fd = directory.get();
  return plan;
}

int spawn_child(gchar** argv, const CHILD_PIPES& child, bool join_stderr,
                const UNIQUE_FD& directory, const std::vector<std::string>& overrides, pid_t* pid,
                SPAWN_FAILURE* failure) {
  SPAWN_PLAN plan = plan_descriptors(child, join_stderr, directory);
  std::vector<std::string> environment;
  std::vector<char*> envp;
  if (!overrides.empty()) {
    environment = child_environment(overrides);
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    plan.environment = envp.data();
  }
  return spawn_process(argv, plan, pid, failure);
}

std::unique_ptr<THR_ERROR> spawn_error(const std::string& program, const std::string& directory,
                                       const SPAWN_FAILURE& failure) {
  if (failure.step == SPAWN_STEP::DIRECTORY)
    return std::make_unique<DIRECTORY_ERROR>(program, directory, failure.error);
  return std::make_unique<START_ERROR>(program, failure.error, spawn_failure_text(failure),
                                       failure.step == SPAWN_STEP::EXEC);
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

// How often the system shell's end is looked for; also bounds how late a stop request is seen.
constexpr long long SHELL_POLL_MILLIS = 10;

// Lock-free, so signal handlers may set it.
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from signal handlers");

// A shell that could not be executed looks as sh reports a command (127 missing, 126 not
// executable); any other step failed around it: posted as an error, the run failed (125).
int32_t shell_start_failure(const SPAWN_FAILURE& failure) {
  if (failure.step == SPAWN_STEP::EXEC) return (failure.error == ENOENT ? 127 : 126) << 8;
  msg_post(BRANTOR_ERROR_MESSAGE("Cannot start the system shell /bin/sh: " +
                                 spawn_failure_text(failure)),
           false, nullptr);
  return 125 << 8;
}

bool valid_pid(unsigned long pid) { return pid > 0 && pid <= static_cast<unsigned long>(INT_MAX); }

}  // namespace

THR_PROCESS_CREATE_RESULT thr_process_create2(const std::string& command_line,
                                              const std::string& option, unsigned long* output_pipe,
                                              unsigned long* stderr_pipe, unsigned long* stdin_pipe,
                                              THR_SYS_FUNC_STAT_STRUCT* stat) {
  const auto start = std::chrono::steady_clock::now();
  WORDS words(nullptr, g_strfreev);
  if (auto error = split_words(command_line, &words)) return failure(std::move(error), stat, start);
  const std::string program = words.get()[0];
  PROCESS_SETTINGS settings;
  if (!parse_option(option, &settings))
    return failure(std::make_unique<OPTION_ERROR>(program, option), stat, start);
  UNIQUE_FD directory;
  if (int e = open_directory(settings.directory, &directory))
    return failure(std::make_unique<DIRECTORY_ERROR>(program, settings.directory, e), stat, start);

  CHILD_PIPES child;
  if (int e = make_child_pipes(output_pipe != nullptr, stdin_pipe != nullptr, &child))
    return failure(
        std::make_unique<START_ERROR>(program, e, "pipe2 failed: " + os_error_text(e), false), stat,
        start);

  const bool join_stderr = stderr_pipe != nullptr && stderr_pipe == output_pipe;
  pid_t pid = 0;
  SPAWN_FAILURE spawn_failure;
  if (spawn_child(words.get(), child, join_stderr, directory, settings.environment, &pid,
                  &spawn_failure) != 0)
    return failure(spawn_error(program, settings.directory, spawn_failure), stat, start);
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
  if (pfd.revents == 0) return 0;  // an idle pass costs this one call
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
  return written > 0 ? 0 : error;  // like write(2): a short count first, the error next time
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
  std::vector<char*> argv = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                             const_cast<char*>(command_line.c_str()), nullptr};
  pid_t pid = 0;
  SPAWN_FAILURE failure;
  if (spawn_process(argv.data(), SPAWN_PLAN{}, &pid, &failure) != 0)
    return shell_start_failure(failure);
  int status = 0;
  for (;;) {
    int waited = child_table_wait(pid, &status, true);
    if (waited != 0) return waited == 1 ? status : SHELL_NOT_STARTED;
    if (thr_stop_requested()) {
      child_table_terminate(pid);
      return child_table_wait(pid, &status, false) == 1 ? status : SHELL_NOT_STARTED;
    }
    sleep_unless_stopped(SHELL_POLL_MILLIS);
  }
}

int32_t thr_getpid() { return static_cast<int32_t>(getpid()); }

void thr_msleep(int milliseconds) {
  if (milliseconds <= 0 || thr_stop_requested()) {
    std::this_thread::yield();
    return;
  }
  msg_flush();  // a real sleep means the run went idle: show what the message sink held back
  sleep_unless_stopped(milliseconds);
}

void thr_request_stop() { g_stop_requested.store(true); }

bool thr_stop_requested() { return g_stop_requested.load(); }

void thr_process_terminate_all() {
  child_table_terminate_all();
  fifo_registry_remove_all();
}

void arrange_cleanup_at_exit() {
  static std::once_flag arranged;
  std::call_once(arranged, [] {
    std::atexit([] {
      thr_process_terminate_all();
      keeper_finish();
    });
  });
}

int thr_win32_is() { return 0; }
