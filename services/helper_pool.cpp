// The helper processes of a pool: their named pipes, their start, their lines and their end.
#include "services/helper_pool.h"

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "host/thr_process.h"
#include "pool/relay_lines.h"
#include "services/shell_words.h"

namespace {

// How long helpers get to end by themselves once their pipes are closed; a relay also waits
// for its launcher and may have to cancel a job.
constexpr auto HELPER_GRACE = std::chrono::seconds(3);
constexpr auto RELAY_GRACE = std::chrono::seconds(10);
// Not thr_msleep: host sleeps end at once after a stop request, these loops must still pace.
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(5);
constexpr THR_PROCESS_EXIT_CODE TERMINATED_CODE{0, 1};

std::string death_text(unsigned long pid, int status) {
  if (WIFSIGNALED(status))
    return "pid " + std::to_string(pid) + " was killed by signal " +
           std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  return "pid " + std::to_string(pid) + " ended with exit status " +
         std::to_string(WEXITSTATUS(status));
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// ipc_relay beside the running program (ipc_run's own), else on PATH, else where it installs.
std::string relay_program() {
  std::error_code failure;
  const std::filesystem::path beside =
      std::filesystem::read_symlink("/proc/self/exe", failure).parent_path() / "ipc_relay";
  if (!failure && ::access(beside.c_str(), X_OK) == 0) return beside.string();
  std::unique_ptr<gchar, decltype(&g_free)> found(g_find_program_in_path("ipc_relay"), g_free);
  return found ? found.get() : IPC_BINDIR "/ipc_relay";
}

// Each event's word, for a host's scripts and in a relay's event lines; a relay never says output
// or died, which the pool sees for itself.
struct EVENT_WORD {
  POOL_EVENT_KIND kind;
  std::string_view word;
  bool relay_says;
};
constexpr EVENT_WORD EVENT_WORDS[] = {
    {POOL_EVENT_KIND::OUTPUT, "output", false}, {POOL_EVENT_KIND::STARTED, "started", true},
    {POOL_EVENT_KIND::LOST, "lost", true},      {POOL_EVENT_KIND::WARNING, "warning", true},
    {POOL_EVENT_KIND::FAILED, "failed", true},  {POOL_EVENT_KIND::DIED, "died", false},
    {POOL_EVENT_KIND::DEBUG, "debug", true}};

// A relay's line: its helper's output, one of its events, or a complaint of its own or of its
// launcher (ssh's, srun's), which is a warning.
POOL_EVENT relay_event(int helper, std::string_view line) {
  if (line.substr(0, RELAY_OUTPUT_MARK.size()) == RELAY_OUTPUT_MARK)
    return {POOL_EVENT_KIND::OUTPUT, helper, std::string(line.substr(RELAY_OUTPUT_MARK.size()))};
  if (line.substr(0, RELAY_EVENT_MARK.size()) == RELAY_EVENT_MARK) {
    const std::string_view rest = line.substr(RELAY_EVENT_MARK.size());
    for (const EVENT_WORD& event : EVENT_WORDS)
      if (event.relay_says && rest.size() > event.word.size() &&
          rest.substr(0, event.word.size()) == event.word && rest[event.word.size()] == ' ')
        return {event.kind, helper, std::string(rest.substr(event.word.size() + 1))};
  }
  return {POOL_EVENT_KIND::WARNING, helper, std::string(line)};
}

}  // namespace

std::string pool_launcher_error(const std::string& launcher) {
  if (launcher.rfind("ssh:", 0) == 0 && launcher.find_first_not_of(" \t,", 4) == std::string::npos)
    return "ssh: needs at least one host, as in ssh:node1,node2";
  return "";
}

const char* pool_event_word(POOL_EVENT_KIND kind) {
  for (const EVENT_WORD& event : EVENT_WORDS)
    if (event.kind == kind) return event.word.data();
  return "output";
}

MSG_RECORD pool_event_record(const POOL_EVENT& event) {
  const std::string said =
      event.helper < 0 ? event.text : "helper " + std::to_string(event.helper) + ": " + event.text;
  switch (event.kind) {
    case POOL_EVENT_KIND::OUTPUT:
      return {MSG_KIND::INFO, 0, event.text, ""};
    case POOL_EVENT_KIND::STARTED:
      return {MSG_KIND::INFO, 0, said, ""};
    case POOL_EVENT_KIND::LOST:
    case POOL_EVENT_KIND::WARNING:
      return {MSG_KIND::WARNING, 0, said, ""};
    case POOL_EVENT_KIND::FAILED:
    case POOL_EVENT_KIND::DIED:
      return {MSG_KIND::ERROR, 0, said, ""};
    case POOL_EVENT_KIND::DEBUG:
      return {MSG_KIND::DEBUG, 0, said, "POOL"};
  }
  return {MSG_KIND::INFO, 0, said, ""};
}

struct HELPER_POOL::HELPER {
  unsigned long pid = 0;
  unsigned long output = 0;
  LINE_CUTTER lines{RELAY_MARKED_LINE_LIMIT};
  std::atomic<bool> gave_failure{false};  // its FAILED event already ended the run
  std::atomic<bool> output_ended{false};
  std::atomic<bool> reaped{false};
};

HELPER_POOL::HELPER_POOL(POOL_LISTENER listener) : m_listener(std::move(listener)) {}

HELPER_POOL::~HELPER_POOL() { finish(); }

bool HELPER_POOL::start(const HELPER_POOL_OPTIONS& options, std::string* error) {
  if (!create_pipes(options.helper_count, error)) return false;
  m_relays = options.launcher != "local";
  m_grace = m_relays ? RELAY_GRACE : HELPER_GRACE;
  for (int i = 0; i < options.helper_count; ++i)
    if (!start_helper(helper_command(options), i, error)) return false;
  m_watcher = std::thread([this] { watch(); });
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

std::string HELPER_POOL::helper_command(const HELPER_POOL_OPTIONS& options) {
  if (options.launcher == "local") return options.helper_command;
  const std::string relay = relay_program();
  return shell_join_words(
      {relay, "host", "--launcher=" + options.launcher,
       "--remote-relay=" + (options.remote_relay.empty() ? relay : options.remote_relay),
       "--helper=" + options.helper_command, "--attempts=" + std::to_string(options.attempts),
       "--heartbeat=" + seconds_text(options.heartbeat_seconds),
       "--start-timeout=" + seconds_text(options.start_timeout_seconds)});
}

bool HELPER_POOL::start_helper(const std::string& command, int index, std::string* error) {
  std::string line = command + " --helper_index=" + std::to_string(index) +
                     " --read_pipe=" + m_to_raw[index]->pipe_name +
                     " --write_pipe=" + m_from_raw[index]->pipe_name;
  unsigned long output = 0;
  unsigned long input = 0;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  // Its standard error joins its output: what a helper says goes the way of its other lines.
  THR_PROCESS_CREATE_RESULT created =
      thr_process_create2(line, "", &output, &output, &input, &stat);
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

void HELPER_POOL::watch() {
  for (;;) {
    const bool read = read_pass();
    check_ends();
    bool all_ended = true;  // a helper's output may end a moment before it can be waited for
    for (const auto& helper : m_helpers)
      all_ended = all_ended && helper->output_ended && (helper->reaped || m_ending);
    if (all_ended || (m_stop_watching && !read)) return;
    if (!read) std::this_thread::sleep_for(POLL_INTERVAL);
  }
}

// Reads what the helpers wrote and passes it on a line at a time; true when anything was read.
bool HELPER_POOL::read_pass() {
  bool read = false;
  for (size_t i = 0; i < m_helpers.size(); ++i) read = read_helper(static_cast<int>(i)) || read;
  return read;
}

// Reads what helper index wrote, if anything waits; true when anything was read.
bool HELPER_POOL::read_helper(int index) {
  HELPER& helper = *m_helpers[index];
  if (helper.output_ended) return false;
  char buffer[4096];
  uint32_t waiting = 0, count = 0;
  const auto take = [&](std::string_view line) { take_line(index, line); };
  if (thr_process_peek(helper.output, &waiting) == 0 && waiting == 0) return false;
  if (waiting == 0 || thr_process_read(helper.output, buffer, sizeof buffer, &count) != 0 ||
      count == 0) {
    helper.lines.finish(take);
    helper.output_ended = true;
    return false;
  }
  helper.lines.add(std::string_view(buffer, count), take);
  return true;
}

void HELPER_POOL::take_line(int index, std::string_view line) {
  POOL_EVENT event = m_relays ? relay_event(index, line)
                              : POOL_EVENT{POOL_EVENT_KIND::OUTPUT, index, std::string(line)};
  if (event.kind == POOL_EVENT_KIND::FAILED) m_helpers[index]->gave_failure = true;
  tell(std::move(event));
}

// A helper ends by itself only with status 0, after its last partition; any other end while the
// pool is in use would leave the dispatcher waiting for its report.
void HELPER_POOL::check_ends() {
  for (size_t i = 0; i < m_helpers.size(); ++i) {
    HELPER& helper = *m_helpers[i];
    THR_PROCESS_EXIT_CODE code{0, 0};
    if (helper.reaped || m_ending || thr_process_wait(helper.pid, &code, 1) <= 0) continue;
    helper.reaped = true;
    if (code.status == 0 || m_ending) continue;
    // Its last words come before its death; bounded, as a process it left may write on.
    for (int piece = 0; piece < 64 && read_helper(static_cast<int>(i)); ++piece) {
    }
    // A relay that gave up on a partition has said why; its exit adds nothing.
    if (!helper.gave_failure)
      tell({POOL_EVENT_KIND::DIED, static_cast<int>(i), death_text(helper.pid, code.status)});
  }
}

void HELPER_POOL::tell(POOL_EVENT event) {
  if (pool_event_ends_run(event.kind)) m_failed = true;
  std::lock_guard<std::mutex> lock(m_tell_mutex);
  m_listener(event);
}

void HELPER_POOL::finish() {
  m_ending = true;
  close_pipes();
  reap_helpers();
  m_stop_watching = true;
  if (m_watcher.joinable()) m_watcher.join();
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
    const int index = static_cast<int>(i);
    while (!helper.reaped) {
      THR_PROCESS_EXIT_CODE code{0, 0};
      const int waited = thr_process_wait(helper.pid, &code, 1);
      if (waited != 0) {
        helper.reaped = true;
        if (waited > 0 && code.status != 0 && !helper.gave_failure)
          tell({POOL_EVENT_KIND::WARNING, index, death_text(helper.pid, code.status)});
      } else if (std::chrono::steady_clock::now() >= deadline) {
        tell({POOL_EVENT_KIND::WARNING, index, "did not end when the pool did; terminated"});
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
