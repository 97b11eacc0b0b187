// The process service: starting a child with its pipes (the spawn glue), waiting for it,
// terminating it, and the system shell.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "host/msg.h"
#include "host/posix/child_table.h"
#include "host/posix/pipe_registry.h"
#include "host/posix/posix_io.h"
#include "host/posix/process_option.h"
#include "host/posix/spawn.h"
#include "host/posix/start_errors.h"
#include "host/thr_process.h"

namespace {

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
  if (output_pipe != nullptr) *output_pipe = pipe_registry_add(std::move(child.output.read_end));
  if (stdin_pipe != nullptr) *stdin_pipe = pipe_registry_add(std::move(child.input.write_end));
  fill_stat(stat, 0, start);
  return THR_PROCESS_CREATE_RESULT(static_cast<unsigned long>(pid));
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

int thr_win32_is() { return 0; }
