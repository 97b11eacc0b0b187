// The remote side of a relayed helper: what the host sends goes to the helper's order pipe,
// what the helper reports and prints comes back as frames.
#include "pool/remote_part.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "pool/dial_back.h"
#include "pool/frame.h"
#include "pool/io.h"

namespace {

constexpr size_t OUTPUT_CHUNK = 3000;  // a frame stays below PIPE_BUF, so one write each

// A private directory holding the two pipes. Their names go as soon as the helper holds both
// open, since open descriptors keep working: nothing is left on disk even if we are killed.
class PRIVATE_DIR {
 public:
  bool create() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ipc-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return false;
    m_path = pattern;
    return ::mkfifo(to().c_str(), 0600) == 0 && ::mkfifo(from().c_str(), 0600) == 0;
  }
  ~PRIVATE_DIR() { remove(); }
  std::string to() const { return m_path + "/to"; }
  std::string from() const { return m_path + "/from"; }
  int opens() const { return m_opens.get(); }

  // Call once our own opens of from are done: any later open of it is the helper's.
  bool watch_opens() {
    m_opens.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    return m_opens && ::inotify_add_watch(m_opens.get(), m_path.c_str(), IN_OPEN) >= 0;
  }
  // Removes the names once the helper opened from and, by orders_open, to; our open of to only
  // succeeds once the helper has it open for reading.
  void remove_once_open(bool orders_open) {
    if (m_path.empty()) return;
    alignas(inotify_event) char events[4096];
    for (;;) {
      ssize_t count = ::read(m_opens.get(), events, sizeof events);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      for (ssize_t at = 0; at < count;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        m_from_open |= event->len > 0 && std::strcmp(event->name, "from") == 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    if (orders_open && m_from_open) remove();
  }

 private:
  void remove() {
    if (m_path.empty()) return;
    ::unlink(to().c_str());
    ::unlink(from().c_str());
    ::rmdir(m_path.c_str());
    m_path.clear();
    m_opens.reset();
  }

  std::string m_path;
  UNIQUE_FD m_opens;  // inotify: opens in the directory
  bool m_from_open = false;
};

class REMOTE_PART {
 public:
  explicit REMOTE_PART(const REMOTE_OPTIONS& options)
      : m_options(options),
        m_decoder([this](const FRAME& frame) { take(frame); }, [](std::string_view) {}),
        m_link_decoder([this](const FRAME& frame) { take(frame); }, [](std::string_view) {}) {}

  int run() {
    std::string failure;
    m_link = dial_back(&failure);
    if (!failure.empty())
      std::fprintf(stderr, "ipc_relay: %s; the frames go through the launcher\n", failure.c_str());
    failure.clear();
    if (!start(&failure)) {
      send({FRAME_TYPE::FAILURE, failure});
      return 1;
    }
    send({FRAME_TYPE::KILL_HANDLE, kill_handle()});
    while (!m_done) step();
    kill_group(m_helper);
    reap(m_helper, std::chrono::seconds(2));
    return 0;
  }

 private:
  bool start(std::string* failure) {
    m_signals = stop_signal_fd();
    if (!m_options.cwd.empty() && ::chdir(m_options.cwd.c_str()) != 0)
      return *failure = "cannot enter " + m_options.cwd + ": " + std::strerror(errno), false;
    if (!m_dir.create())
      return *failure = std::string("cannot create the named pipes: ") + std::strerror(errno),
             false;
    // Held open read-write, so the helper's open never blocks and its end is seen by wait only.
    m_from = open_fd(m_dir.from(), O_RDWR | O_NONBLOCK);
    UNIQUE_FD out_write, nothing = open_fd("/dev/null", O_RDONLY);
    if (!m_from || !m_dir.watch_opens() || !nothing || !make_pipe(&m_output, &out_write) ||
        !set_nonblocking(m_output.get()))
      return *failure = std::string("cannot prepare the helper: ") + std::strerror(errno), false;
    std::vector<std::string> words = m_options.helper_words;
    words.push_back("--helper_index=" + std::to_string(m_options.helper_index));
    words.push_back("--read_pipe=" + m_dir.to());
    words.push_back("--write_pipe=" + m_dir.from());
    std::optional<pid_t> pid =
        spawn_in_group(words, nothing.get(), out_write.get(), out_write.get(), failure);
    if (!pid) return false;
    m_helper = *pid;
    return true;
  }

  std::string kill_handle() const {
    char host[256] = "";
    ::gethostname(host, sizeof host - 1);
    auto variable = [](const char* name) {
      const char* value = std::getenv(name);
      return std::string(value != nullptr ? value : "");
    };
    return std::string("host=") + host + ";pid=" + std::to_string(::getpid()) +
           ";job=" + variable("SLURM_JOB_ID") + ";step=" + variable("SLURM_STEP_ID");
  }

  void send(const FRAME& frame) {
    if (!write_all(m_link ? m_link.get() : STDOUT_FILENO, encode_frame(frame))) m_done = true;
  }

  void take(const FRAME& frame) {
    if (frame.type == FRAME_TYPE::DATA) m_to_pending += frame.payload;
    m_last_heard = CLOCK::now();
  }

  void step() {
    connect_orders();
    m_dir.remove_once_open(bool(m_to));
    pollfd fds[] = {{STDIN_FILENO, POLLIN, 0},
                    {m_signals.get(), POLLIN, 0},
                    {m_output.get(), POLLIN, 0},
                    {m_from.get(), POLLIN, 0},
                    {m_to.get(), static_cast<short>(m_to_pending.empty() ? 0 : POLLOUT), 0},
                    {m_link.get(), POLLIN, 0},
                    {m_dir.opens(), POLLIN, 0}};  // only wakes us: read at the next step
    if (poll_fds(fds, 7, m_to ? 250 : 20) < 0) m_done = true;
    // The end of either stream from the host is the host's end.
    if (fds[0].revents != 0 && !m_decoder.feed_from(STDIN_FILENO)) m_done = true;
    if (fds[5].revents != 0 && !m_link_decoder.feed_from(m_link.get())) m_done = true;
    if (fds[1].revents != 0) m_done = true;
    if (fds[2].revents != 0) forward(m_output, FRAME_TYPE::OUTPUT);
    if (fds[3].revents != 0) forward(m_from, FRAME_TYPE::DATA);
    write_orders();
    watch();
  }

  // Ready once the helper opened its order pipe: our writing end opens only then.
  void connect_orders() {
    if (m_to) return;
    m_to = open_fd(m_dir.to(), O_WRONLY | O_NONBLOCK);
    if (m_to) send({FRAME_TYPE::READY, ""});
  }

  // Sends what fd holds; the helper's output is closed at its end, so poll stops reporting it.
  void forward(UNIQUE_FD& fd, FRAME_TYPE type) {
    std::string bytes;
    ssize_t count;
    while ((count = read_some(fd.get(), &bytes)) > 0) {
    }
    if (count == 0) fd.reset();
    for (size_t at = 0; at < bytes.size(); at += OUTPUT_CHUNK)
      send({type, bytes.substr(at, OUTPUT_CHUNK)});
  }

  void write_orders() {
    if (!m_to || m_to_pending.empty()) return;
    ssize_t count;
    do count = ::write(m_to.get(), m_to_pending.data(), m_to_pending.size());
    while (count < 0 && errno == EINTR);
    if (count > 0) m_to_pending.erase(0, static_cast<size_t>(count));
    if (count < 0 && errno != EAGAIN) m_to_pending.clear();  // the helper is ending; wait says so
  }

  void watch() {
    if (std::optional<int> status = reap(m_helper, std::chrono::milliseconds(0))) {
      forward(m_output, FRAME_TYPE::OUTPUT);
      forward(m_from, FRAME_TYPE::DATA);
      send({FRAME_TYPE::EXIT, std::to_string(*status)});
      m_done = true;
    }
    if (seconds_since(m_last_sent) >= m_options.heartbeat_seconds / 4) {
      send({FRAME_TYPE::HEARTBEAT, ""});
      m_last_sent = CLOCK::now();
    }
    if (seconds_since(m_last_heard) > m_options.heartbeat_seconds || ::getppid() != m_parent)
      m_done = true;
  }

  const REMOTE_OPTIONS& m_options;
  FRAME_DECODER m_decoder, m_link_decoder;
  PRIVATE_DIR m_dir;
  UNIQUE_FD m_link, m_signals, m_from, m_to, m_output;  // m_link: the call back, if any
  pid_t m_helper = 0;
  const pid_t m_parent = ::getppid();
  std::string m_to_pending;
  CLOCK::time_point m_last_heard = CLOCK::now(), m_last_sent{};
  bool m_done = false;
};

}  // namespace

int run_remote_part(const REMOTE_OPTIONS& options) {
  std::signal(SIGPIPE, SIG_IGN);
  return REMOTE_PART(options).run();
}
