// The helper processes of --pool: their named pipes, their start, their output and their end.
#include "tools/ipc_run/helper_pool.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "host/thr_process.h"
#include "services/shell_words.h"
#include "tools/ipc_run/signals.h"

namespace {

// How long helpers get to end by themselves once their pipes are closed; a relay also waits
// for its launcher and may have to cancel a job.
constexpr auto HELPER_GRACE = std::chrono::seconds(3);
constexpr auto RELAY_GRACE = std::chrono::seconds(10);
// Not thr_msleep: host sleeps end at once after a stop request, these loops must still pace.
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(5);
constexpr THR_PROCESS_EXIT_CODE TERMINATED_CODE{0, 1};

}  // namespace

HELPER_POOL::~HELPER_POOL() { finish(); }

bool HELPER_POOL::start(const POOL_OPTIONS& options, std::string* error) {
  if (!create_pipes(options.helper_count, error)) return false;
  m_relays = options.remote.launcher != "local";
  m_grace = m_relays ? RELAY_GRACE : HELPER_GRACE;
  for (int i = 0; i < options.helper_count; ++i)
    if (!start_helper(helper_command(options), i, error)) return false;
  m_forwarder = std::thread([this] { forward_output(); });
  return true;
}

bool HELPER_POOL::create_pipes(int count, std::string* error) {
  for (int i = 0; i < 2 * count; ++i) {
    m_pipes.push_back(std::make_unique<THR_NAMED_PIPE>(""));
    if (!m_pipes.back()->create()) {
      *error = "cannot create the named pipes of the helper pool";
      return false;
    }
    (i % 2 == 0 ? m_to_raw : m_from_raw).push_back(m_pipes.back().get());
  }
  return true;
}

// A remote helper is served by a relay that looks like a local helper to the dispatcher.
std::string HELPER_POOL::helper_command(const POOL_OPTIONS& options) {
  const REMOTE_POOL_OPTIONS& remote = options.remote;
  if (remote.launcher == "local") return options.helper_command;
  std::error_code failure;
  const std::string relay =
      (std::filesystem::read_symlink("/proc/self/exe", failure).parent_path() / "ipc_relay")
          .string();
  std::vector<std::string> words = {
      relay,
      "host",
      "--launcher=" + remote.launcher,
      "--remote-relay=" + (remote.remote_relay.empty() ? relay : remote.remote_relay),
      "--helper=" + options.helper_command,
      "--attempts=" + std::to_string(remote.attempts),
      "--heartbeat=" + std::to_string(remote.heartbeat_seconds),
      "--start-timeout=" + std::to_string(remote.start_timeout_seconds)};
  if (remote.debug) words.push_back("--debug");
  return shell_join_words(words);
}

bool HELPER_POOL::start_helper(const std::string& command, int index, std::string* error) {
  std::string line = command + " --helper_index=" + std::to_string(index) +
                     " --read_pipe=" + m_to_raw[index]->pipe_name +
                     " --write_pipe=" + m_from_raw[index]->pipe_name;
  unsigned long output = 0;
  unsigned long input = 0;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  THR_PROCESS_CREATE_RESULT created =
      thr_process_create2(line, "", &output, nullptr, &input, &stat);
  if (!created) {
    std::unique_ptr<BRANTOR_ERROR_MESSAGE> message(created.error()->make_error_message());
    *error = "cannot start helper " + std::to_string(index) + ": " + message->text();
    return false;
  }
  thr_process_close_pipe(input);  // helpers take their orders from the pipes only
  auto helper = std::make_unique<HELPER>();
  helper->pid = created.value();
  helper->output = output;
  m_helpers.push_back(std::move(helper));
  return true;
}

namespace {

void report_death(size_t index, unsigned long pid, int status) {
  if (WIFSIGNALED(status))
    std::fprintf(stderr, "ipc_run: helper %zu (pid %lu) was killed by signal %d (%s)\n", index, pid,
                 WTERMSIG(status), strsignal(WTERMSIG(status)));
  else
    std::fprintf(stderr, "ipc_run: helper %zu (pid %lu) ended with exit status %d\n", index, pid,
                 WEXITSTATUS(status));
}

}  // namespace

void HELPER_POOL::forward_output() {
  for (;;) {
    bool forwarded = forward_pass();
    watch_helpers();
    bool all_ended = true;  // a helper's output may end a moment before it can be waited for
    for (const auto& helper : m_helpers)
      all_ended = all_ended && helper->output_ended && (helper->reaped || m_ending);
    if (all_ended || (m_stop_forwarding && !forwarded)) return;
    if (!forwarded) std::this_thread::sleep_for(POLL_INTERVAL);
  }
}

// A helper ends by itself only with status 0, after its last partition; any other end while the
// pool is in use would leave the dispatcher waiting for its report.
void HELPER_POOL::watch_helpers() {
  for (size_t i = 0; i < m_helpers.size(); ++i) {
    HELPER& helper = *m_helpers[i];
    THR_PROCESS_EXIT_CODE code{0, 0};
    if (helper.reaped || m_ending || thr_process_wait(helper.pid, &code, 1) <= 0) continue;
    helper.reaped = true;
    if (code.status == 0 || m_ending) continue;
    report_death(i, helper.pid, code.status);
    m_helper_died = true;
    request_run_stop();
  }
}

// Copies what the helpers wrote to standard output; true when anything was copied.
bool HELPER_POOL::forward_pass() {
  bool forwarded = false;
  char buffer[4096];
  for (const auto& helper : m_helpers) {
    if (helper->output_ended) continue;
    uint32_t waiting = 0;
    if (thr_process_peek(helper->output, &waiting) != 0) {
      helper->output_ended = true;
      continue;
    }
    if (waiting == 0) continue;
    uint32_t count = 0;
    if (thr_process_read(helper->output, buffer, sizeof buffer, &count) != 0 || count == 0) {
      helper->output_ended = true;
      continue;
    }
    std::fwrite(buffer, 1, count, stdout);
    std::fflush(stdout);
    forwarded = true;
  }
  return forwarded;
}

void HELPER_POOL::finish() {
  m_ending = true;
  close_pipes();
  reap_helpers();
  m_stop_forwarding = true;
  if (m_forwarder.joinable()) m_forwarder.join();
  for (const auto& helper : m_helpers) thr_process_close_pipe(helper->output);
  m_helpers.clear();
}

void HELPER_POOL::close_pipes() {
  // Closing our ends is what tells a waiting helper that no order will come.
  for (const auto& pipe : m_pipes) pipe->remove();
  m_to_raw.clear();
  m_from_raw.clear();
  m_pipes.clear();
}

void HELPER_POOL::reap_helpers() {
  const auto deadline = std::chrono::steady_clock::now() + m_grace;
  for (size_t i = 0; i < m_helpers.size(); ++i) {
    HELPER& helper = *m_helpers[i];
    while (!helper.reaped) {
      THR_PROCESS_EXIT_CODE code{0, 0};
      int waited = thr_process_wait(helper.pid, &code, 1);
      if (waited != 0) {
        helper.reaped = true;
        if (waited > 0 && code.status != 0)
          std::fprintf(stderr, "ipc_run: helper %zu ended with status %d\n", i, code.status);
      } else if (std::chrono::steady_clock::now() >= deadline) {
        std::fprintf(stderr, "ipc_run: helper %zu did not end; terminating it\n", i);
        thr_process_terminate(helper.pid, TERMINATED_CODE);
        helper.reaped = true;
      } else {
        std::this_thread::sleep_for(POLL_INTERVAL);
      }
    }
  }
}

// A relay asked to stop ends its launcher and cancels its job first; finish() still kills it
// after the grace period.
void HELPER_POOL::terminate_all() {
  m_ending = true;
  for (const auto& helper : m_helpers) {
    if (helper->reaped) continue;
    if (m_relays)
      ::kill(static_cast<pid_t>(helper->pid), SIGTERM);
    else
      thr_process_terminate(helper->pid, TERMINATED_CODE);
  }
}
