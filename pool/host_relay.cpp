// One helper slot seen from the host: orders pass out, reports pass back, and a helper lost on
// the way is replaced by a new attempt that gets the same partition again.
#include "pool/host_relay.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "pool/attempt.h"
#include "pool/orders.h"
#include "pool/relay_lines.h"

namespace {

std::string join(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
}

class HOST_RELAY {
 public:
  explicit HOST_RELAY(const RELAY_OPTIONS& options) : m_options(options) {}

  int run() {
    if (!prepare()) return 2;
    start_attempt();
    while (!m_end) step();
    if (m_attempt) m_attempt->end(std::chrono::seconds(2));
    m_output.finish([this](std::string_view line) { say(relay_output_line(line)); });
    return m_status;
  }

 private:
  bool prepare() {
    gchar** argv = nullptr;
    if (!g_shell_parse_argv(m_options.helper_command.c_str(), nullptr, &argv, nullptr)) {
      std::fprintf(stderr, "ipc_relay: cannot split the helper command into words\n");
      return false;
    }
    char cwd[PATH_MAX];
    m_remote_words = {m_options.remote_relay,
                      "remote",
                      "--helper_index=" + std::to_string(m_options.helper_index),
                      "--heartbeat=" + std::to_string(m_options.heartbeat_seconds),
                      std::string("--cwd=") + (::getcwd(cwd, sizeof cwd) ? cwd : "/"),
                      "--"};
    m_remote_words.insert(m_remote_words.end(), argv, argv + g_strv_length(argv));
    g_strfreev(argv);
    m_signals = stop_signal_fd();
    // The dispatcher writes orders only after it opened this read end, so it opens at once.
    m_orders = open_fd(m_options.read_pipe, O_RDONLY | O_NONBLOCK);
    if (!m_orders) std::perror(("ipc_relay: " + m_options.read_pipe).c_str());
    return bool(m_orders);
  }

  void step() {
    if (!m_reports) m_reports = open_fd(m_options.write_pipe, O_WRONLY | O_NONBLOCK);
    pollfd fds[] = {{m_signals.get(), POLLIN, 0},
                    {m_reports ? m_orders.get() : -1, POLLIN, 0},
                    {m_attempt ? m_attempt->output() : -1, POLLIN, 0}};
    poll_fds(fds, 3, m_reports ? 100 : 20);
    if (fds[0].revents != 0) return finish(0);  // asked to end, as at the end of the run
    if (fds[1].revents != 0) read_orders();
    if (fds[2].revents != 0 && m_attempt && !m_attempt->read()) attempt_ended();
    if (!m_cause.empty()) lose();
    if (!m_end) watch();
  }

  void read_orders() {
    std::string bytes;
    if (read_some(m_orders.get(), &bytes) == 0) return finish(0);  // the run is over
    for (const std::string& order : m_book.take_orders(bytes)) {
      if (!m_attempt)
        start_attempt();  // replays the book, this order included
      else if (m_attempt->ready)
        send({FRAME_TYPE::DATA, order});
      else
        m_unsent += order;
    }
  }

  // A broken input is not judged here: the end of the output says why the remote part ended,
  // and missing heartbeats catch one that lives on.
  void send(const FRAME& frame) { m_attempt->send(frame); }

  void take(const FRAME& frame) {
    m_attempt->last_heard = CLOCK::now();
    switch (frame.type) {
      case FRAME_TYPE::READY:
        m_attempt->ready = true;
        if (!m_unsent.empty()) send({FRAME_TYPE::DATA, m_unsent});
        m_unsent.clear();
        break;
      case FRAME_TYPE::DATA:
        return pass_reports(frame.payload);
      case FRAME_TYPE::OUTPUT:
        m_output.add(frame.payload,
                     [this](std::string_view line) { say(relay_output_line(line)); });
        break;
      case FRAME_TYPE::KILL_HANDLE:
        m_attempt->handle = frame.payload;
        event("debug", "runs at " + frame.payload);
        break;
      case FRAME_TYPE::EXIT:
        m_attempt->helper_status = std::atoi(frame.payload.c_str());
        break;
      case FRAME_TYPE::FAILURE:
        m_attempt->failure = frame.payload;
        break;
      case FRAME_TYPE::HEARTBEAT:
        break;
    }
  }

  // One write per report: the dispatcher takes each read as one report.
  void pass_reports(const std::string& bytes) {
    const int dropped = m_book.dropped_reports;
    for (const std::string& report : m_book.take_reports(bytes))
      if (!write_all(m_reports.get(), report)) return finish(0);
    if (m_book.dropped_reports > dropped)
      event("warning", "a report for no partition held was ignored");
  }

  void attempt_ended() {
    const std::optional<int> helper = m_attempt->helper_status;
    if (helper && *helper == 0 && m_book.finished && !m_book.held) {
      m_attempt->end(std::chrono::seconds(2));
      m_attempt.reset();
      return;
    }
    const std::optional<int> launcher = m_attempt->launcher_status(std::chrono::seconds(2));
    if (helper)
      m_cause = "the helper ended with " + describe_status(*helper);
    else if (!m_attempt->failure.empty())
      m_cause = m_attempt->failure;
    else
      m_cause = "the remote part ended (launcher " +
                (launcher ? describe_status(*launcher) : std::string("still running")) + ")";
  }

  void watch() {
    if (m_book.finished && !m_book.held && !m_attempt) return finish(0);
    if (::getppid() != m_parent) return finish(0);  // the host is gone without closing our pipes
    if (!m_attempt) return;
    if (!m_attempt->ready && seconds_since(m_attempt->started) > m_options.start_timeout_seconds)
      m_cause = "not ready within " + seconds(m_options.start_timeout_seconds);
    else if (seconds_since(m_attempt->last_heard) > m_options.heartbeat_seconds)
      m_cause = "no heartbeat for " + seconds(m_options.heartbeat_seconds);
    if (seconds_since(m_last_sent) >= m_options.heartbeat_seconds / 4) {
      send({FRAME_TYPE::HEARTBEAT, ""});
      m_last_sent = CLOCK::now();
    }
    if (!m_cause.empty()) lose();
  }

  // The attempt is abandoned: whatever it still says is never read.
  void lose() {
    const std::string cause = m_cause, where = m_attempt ? m_attempt->launch.where : m_where;
    m_cause.clear();
    m_attempt.reset();
    if (m_book.finished && !m_book.held) return finish(0);
    const int key = m_book.held.value_or(-1);
    std::vector<std::string>& causes = m_causes[key];
    causes.push_back("attempt " + std::to_string(causes.size() + 1) + " on " + where + ": " +
                     cause);
    if (static_cast<int>(causes.size()) >= m_options.attempts) return fail(key, causes);
    event("lost", "lost on " + where + " (" + cause + "); " +
                      (key >= 0 ? "partition " + std::to_string(key) : std::string("it")) +
                      " goes to a new helper, attempt " + std::to_string(causes.size() + 1) +
                      " of " + std::to_string(m_options.attempts));
    start_attempt();
  }

  void fail(int key, const std::vector<std::string>& causes) {
    const std::string what = key >= 0 ? "partition " + std::to_string(key)
                                      : "helper " + std::to_string(m_options.helper_index);
    event("failed", what + " failed after " + std::to_string(causes.size()) +
                        " attempts: " + join(causes, "; "));
    finish(3);
  }

  void start_attempt() {
    std::string error;
    std::optional<LAUNCH> launch = launch_words(m_options.launcher, m_options.helper_index,
                                                m_attempt_count++, m_remote_words, &error);
    if (!launch) {
      event("failed", error);
      return finish(2);
    }
    m_where = launch->where;
    event("started", "attempt " + std::to_string(m_attempt_count) + " on " + m_where);
    event("debug", "attempt " + std::to_string(m_attempt_count) + ": " + join(launch->words, " "));
    m_attempt = ATTEMPT::start(
        *launch, [this](const FRAME& frame) { take(frame); }, &error);
    // A launcher that cannot be started here is the user's mistake, not a lost node: no retry.
    if (!m_attempt) {
      event("failed", error);
      return finish(3);
    }
    m_unsent = m_book.replay();
    m_last_sent = CLOCK::now();
  }

  void event(std::string_view word, const std::string& text) { say(relay_event_line(word, text)); }

  // A host that stopped reading has ended the run.
  void say(const std::string& line) {
    if (!write_all(STDOUT_FILENO, line)) finish(0);
  }

  static std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", value);
    return text;
  }

  void finish(int status) {
    m_end = true;
    m_status = status;
  }

  const RELAY_OPTIONS& m_options;
  std::vector<std::string> m_remote_words;
  UNIQUE_FD m_signals, m_orders, m_reports;
  ORDER_BOOK m_book;
  LINE_CUTTER m_output{RELAY_LINE_LIMIT};  // the helper's output, passed on a line at a time
  std::unique_ptr<ATTEMPT> m_attempt;
  std::string m_unsent, m_cause, m_where;
  std::map<int, std::vector<std::string>> m_causes;
  int m_attempt_count = 0, m_status = 0;
  const pid_t m_parent = ::getppid();
  CLOCK::time_point m_last_sent = CLOCK::now();
  bool m_end = false;
};

}  // namespace

int run_host_relay(const RELAY_OPTIONS& options) {
  std::signal(SIGPIPE, SIG_IGN);
  return HOST_RELAY(options).run();
}
