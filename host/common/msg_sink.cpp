// Where messages go: the default and debug sinks, reports and the internal-error report.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "host/common/msg_internal.h"
#include "host/msg.h"

bool msg_initialized = false;
const char* const msg_tcl_post_cmd = "msg_post";
const char* const msg_tcl_ie_cmd = "msg_internal_error";

MSG_KIND_NAMES msg_kind_names(MSG_KIND kind) {
  switch (kind) {
    case MSG_KIND::ERROR:
      return {"ERROR", "error"};
    case MSG_KIND::WARNING:
      return {"WARNING", "warning"};
    case MSG_KIND::INFO:
      return {"INFO", "info"};
    case MSG_KIND::INTERNAL_ERROR:
      return {"INTERNAL ERROR", "internal"};
    case MSG_KIND::DEBUG:
      return {"DEBUG", "debug"};
  }
  return {"MESSAGE", "message"};
}

namespace {

void write_line(FILE* stream, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

// Set while the default sink holds lines back in stdout's buffer; read without the lock, so an
// idle pass with nothing held back costs no lock.
std::atomic<bool> stdout_held{false};

std::atomic<int> output_error{0};

void note_output_error() {
  int none = 0;
  output_error.compare_exchange_strong(none, errno != 0 ? errno : EIO);
}

bool is_error(MSG_KIND kind) { return kind == MSG_KIND::ERROR || kind == MSG_KIND::INTERNAL_ERROR; }

// Calls write(data, size) for the pieces of text as shown: a zero byte, invisible on a terminal
// and the end of a C string, as \0.
template <typename WRITE>
void for_each_shown_piece(const std::string& text, WRITE write) {
  const char* rest = text.data();
  const char* const end = rest + text.size();
  while (rest != end) {
    const auto* zero = static_cast<const char*>(std::memchr(rest, '\0', end - rest));
    if (zero == nullptr) {
      write(rest, end - rest);
      return;
    }
    write(rest, zero - rest);
    write("\\0", 2);
    rest = zero + 1;
  }
}

std::string record_label(const MSG_RECORD& record) {
  std::string label = msg_kind_names(record.kind).label;
  if (record.id != 0 && record.kind != MSG_KIND::INTERNAL_ERROR)
    label += " " + std::to_string(record.id);
  return label + ": ";
}

// Writes through stdout's own buffer (a line at a time on a terminal, blocks otherwise): one
// system call per message would cost more than relaying it. Errors are written out at once.
class STDOUT_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override {
    if (record.text.size() <= LINE_BUFFER_LIMIT) {
      // One reused buffer and one write per message: the common, short line stays cheap.
      m_line = record_label(record);
      for_each_shown_piece(record.text,
                           [this](const char* data, size_t size) { m_line.append(data, size); });
      m_line += '\n';
      write(m_line.data(), m_line.size());
    } else {
      // An outsized text is written in place: no copy of it is made.
      const std::string label = record_label(record);
      write(label.data(), label.size());
      for_each_shown_piece(record.text,
                           [this](const char* data, size_t size) { write(data, size); });
      write("\n", 1);
    }
    if (is_error(record.kind)) {
      if (std::fflush(stdout) != 0) note_output_error();
      stdout_held.store(false, std::memory_order_relaxed);
    } else {
      stdout_held.store(true, std::memory_order_relaxed);
    }
  }

 private:
  static constexpr size_t LINE_BUFFER_LIMIT = 1 << 16;

  static void write(const char* data, size_t size) {
    if (std::fwrite(data, 1, size, stdout) != size) note_output_error();
  }

  std::string m_line;  // guarded by the delivery lock
};

class STDERR_DEBUG_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override {
    write_line(stderr, "DEBUG " + record.module + ": " + record.text + "\n");
  }
};

struct SINKS {
  // Recursive: a sink that posts while delivering must not deadlock its own thread.
  std::recursive_mutex delivery;
  STDOUT_SINK builtin_default;
  STDERR_DEBUG_SINK builtin_debug;
  MSG_SINK* default_sink = &builtin_default;
  MSG_SINK* debug_sink = &builtin_debug;
};

SINKS& sinks() {
  static SINKS* instance = new SINKS;  // never destroyed: messages may come from exit handlers
  return *instance;
}

// A thread's own sinks: they belong to one run on that thread, so they need no shared lock.
thread_local MSG_SINK* thread_default_sink = nullptr;
thread_local MSG_SINK* thread_debug_sink = nullptr;

struct LIVE_REPORTS {
  std::mutex mutex;
  std::set<const void*> reports;
};

LIVE_REPORTS& live_reports() {
  static LIVE_REPORTS* instance = new LIVE_REPORTS;
  return *instance;
}

}  // namespace

// --- Sinks -------------------------------------------------------------------------------------

std::string msg_format_record(const MSG_RECORD& record) {
  std::string line = record_label(record);
  line.reserve(line.size() + record.text.size());
  for_each_shown_piece(record.text,
                       [&line](const char* data, size_t size) { line.append(data, size); });
  return line;
}

void msg_flush() {
  if (!stdout_held.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::recursive_mutex> lock(sinks().delivery);
  stdout_held.store(false, std::memory_order_relaxed);
  if (std::fflush(stdout) != 0) note_output_error();
}

int msg_output_error() { return output_error.load(); }

void msg_set_default_sink(MSG_SINK* sink) {
  SINKS& s = sinks();
  std::lock_guard<std::recursive_mutex> lock(s.delivery);
  msg_flush();  // what the built-in sink held back comes before what the new one writes
  s.default_sink = sink != nullptr ? sink : &s.builtin_default;
}

void msg_set_debug_sink(MSG_SINK* sink) {
  SINKS& s = sinks();
  std::lock_guard<std::recursive_mutex> lock(s.delivery);
  s.debug_sink = sink != nullptr ? sink : &s.builtin_debug;
}

void msg_deliver_default(const MSG_RECORD& record) {
  MSG_SINK* own = record.kind == MSG_KIND::DEBUG ? thread_debug_sink : thread_default_sink;
  if (own != nullptr) {
    own->deliver(record);
    return;
  }
  SINKS& s = sinks();
  std::lock_guard<std::recursive_mutex> lock(s.delivery);
  (record.kind == MSG_KIND::DEBUG ? s.debug_sink : s.default_sink)->deliver(record);
}

SCOPED_MSG_THREAD_SINKS::SCOPED_MSG_THREAD_SINKS(MSG_SINK* default_sink, MSG_SINK* debug_sink)
    : m_previous_default(thread_default_sink), m_previous_debug(thread_debug_sink) {
  thread_default_sink = default_sink;
  thread_debug_sink = debug_sink;
}

SCOPED_MSG_THREAD_SINKS::~SCOPED_MSG_THREAD_SINKS() {
  thread_default_sink = m_previous_default;
  thread_debug_sink = m_previous_debug;
}

void msg_deliver_record(const MSG_RECORD& record, MSG_REPORT* report) {
  if (report == nullptr) {
    msg_deliver_default(record);
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(sinks().delivery);
  report->deliver(record);
}

// --- MSG_REPORT --------------------------------------------------------------------------------

struct MSG_REPORT::STATE {
  mutable std::mutex mutex;
  std::vector<MSG_RECORD> records;
};

MSG_REPORT::MSG_REPORT() : m_state(new STATE) {
  LIVE_REPORTS& live = live_reports();
  std::lock_guard<std::mutex> lock(live.mutex);
  live.reports.insert(this);
}

MSG_REPORT::~MSG_REPORT() {
  {
    LIVE_REPORTS& live = live_reports();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.reports.erase(this);
  }
  delete m_state;
}

void MSG_REPORT::deliver(const MSG_RECORD& record) {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->records.push_back(record);
}

std::vector<MSG_RECORD> MSG_REPORT::records() const {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->records;
}

size_t MSG_REPORT::count() const {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->records.size();
}

MSG_REPORT* MSG_REPORT::find_live(const void* handle) {
  LIVE_REPORTS& live = live_reports();
  std::lock_guard<std::mutex> lock(live.mutex);
  if (live.reports.count(handle) == 0) return nullptr;
  return static_cast<MSG_REPORT*>(const_cast<void*>(handle));
}

// --- Errors ------------------------------------------------------------------------------------

void msg_post(const BRANTOR_ERROR_MESSAGE& error, bool internal, MSG_REPORT* report) {
  MSG_KIND kind = internal ? MSG_KIND::INTERNAL_ERROR : MSG_KIND::ERROR;
  msg_deliver_record(MSG_RECORD{kind, 0, error.text(), std::string()}, report);
}

void MSG_INTERNAL_ERROR::report(const char* text, const char* module, const char* file, int line) {
  std::fprintf(stderr, "INTERNAL ERROR: %s (%s %s:%d)\n", msg_or_empty(text), msg_or_empty(module),
               msg_or_empty(file), line);
  std::fflush(stderr);
  std::abort();
}
