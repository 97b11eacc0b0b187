#include "host/msg.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

bool msg_initialized = false;
const char* const msg_tcl_post_cmd = "msg_post";
const char* const msg_tcl_ie_cmd = "msg_internal_error";

namespace {

// --- Sinks -------------------------------------------------------------------------------------

const char* kind_label(MSG_KIND kind) {
  switch (kind) {
    case MSG_KIND::ERROR:
      return "ERROR";
    case MSG_KIND::WARNING:
      return "WARNING";
    case MSG_KIND::INFO:
      return "INFO";
    case MSG_KIND::INTERNAL_ERROR:
      return "INTERNAL ERROR";
    case MSG_KIND::DEBUG:
      return "DEBUG";
  }
  return "MESSAGE";
}

void write_line(FILE* stream, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

class STDOUT_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override {
    write_line(stdout, msg_format_record(record) + "\n");
  }
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

void deliver_to(MSG_SINK* sink, const MSG_RECORD& record) {
  std::lock_guard<std::recursive_mutex> lock(sinks().delivery);
  sink->deliver(record);
}

// --- Live reports ------------------------------------------------------------------------------

struct LIVE_REPORTS {
  std::mutex mutex;
  std::set<const void*> reports;
};

LIVE_REPORTS& live_reports() {
  static LIVE_REPORTS* instance = new LIVE_REPORTS;
  return *instance;
}

// --- Message index -----------------------------------------------------------------------------

class DEFAULT_INDEX : public MSG_INDEX {
 public:
  bool is_suppressed(unsigned id) const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_suppressed.count(id) != 0;
  }
  void suppress(unsigned id) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_suppressed.insert(id);
  }
  void unsuppress(unsigned id) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_suppressed.erase(id);
  }
  bool is_registered(unsigned id, MSG_POST_TYPE* type) const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_registered.find(id);
    if (it == m_registered.end()) return false;
    if (type != nullptr) *type = it->second;
    return true;
  }
  void add(unsigned id, MSG_POST_TYPE type) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_registered.emplace(id, type);
  }
  // Removes one registration of id, so overlapping registrars keep theirs.
  void remove(unsigned id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_registered.find(id);
    if (it != m_registered.end()) m_registered.erase(it);
  }

 private:
  mutable std::mutex m_mutex;
  std::set<unsigned> m_suppressed;
  std::multimap<unsigned, MSG_POST_TYPE> m_registered;
};

DEFAULT_INDEX& default_index() {
  static DEFAULT_INDEX* instance = new DEFAULT_INDEX;  // registrars are destroyed at unload
  return *instance;
}

// --- Debug levels ------------------------------------------------------------------------------

struct DEBUG_LEVELS {
  std::mutex mutex;
  std::map<std::string, int> levels;  // only modules with a level above 0
};

DEBUG_LEVELS& debug_levels() {
  static DEBUG_LEVELS* instance = new DEBUG_LEVELS;
  return *instance;
}

// --- Formats -----------------------------------------------------------------------------------

// "IIPC_COMMAND_INFO": a kind letter, then an upper-case symbolic name.
bool is_kind_and_symbol(const std::string& tail) {
  if (tail.size() < 2) return false;
  for (char c : tail) {
    unsigned char u = static_cast<unsigned char>(c);
    if (!std::isupper(u) && !std::isdigit(u) && c != '_') return false;
  }
  return std::isupper(static_cast<unsigned char>(tail[0])) != 0;
}

// Rewrites the "%N!conv!" conversions as printf's positional "%N$conv"; the rest is unchanged,
// so plain printf formats (debug texts) pass through as they are.
std::string to_positional(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out += text[i++];
      continue;
    }
    if (text.compare(i, 2, "%%") == 0) {  // a literal percent, so "%%1!s!" stays text
      out += "%%";
      i += 2;
      continue;
    }
    size_t digits_end = i + 1;
    while (digits_end < text.size() && std::isdigit(static_cast<unsigned char>(text[digits_end])))
      ++digits_end;
    size_t close = std::string::npos;
    if (digits_end > i + 1 && digits_end < text.size() && text[digits_end] == '!')
      close = text.find('!', digits_end + 1);
    if (close == std::string::npos) {  // a plain printf conversion
      out += text[i++];
      continue;
    }
    std::string conversion = text.substr(digits_end + 1, close - digits_end - 1);
    out += text.substr(i, digits_end - i) + "$" + (conversion.empty() ? "s" : conversion);
    i = close + 1;
  }
  return out;
}

std::string vformat(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  int size = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  va_list fill;
  va_copy(fill, args);
  std::vsnprintf(&out[0], out.size() + 1, format, fill);
  va_end(fill);
  return out;
}

bool suppressed_kind(MSG_KIND kind, unsigned id) {
  if (id == 0 || (kind != MSG_KIND::INFO && kind != MSG_KIND::WARNING)) return false;
  return default_index().is_suppressed(id);
}

void deliver_record(const MSG_RECORD& record, MSG_REPORT* report) {
  if (report != nullptr)
    deliver_to(report, record);
  else
    msg_deliver_default(record);
}

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

// --- Sinks -------------------------------------------------------------------------------------

std::string msg_format_record(const MSG_RECORD& record) {
  std::string line = kind_label(record.kind);
  if (record.id != 0 && record.kind != MSG_KIND::INTERNAL_ERROR)
    line += " " + std::to_string(record.id);
  return line + ": " + record.text;
}

void msg_set_default_sink(MSG_SINK* sink) {
  SINKS& s = sinks();
  std::lock_guard<std::recursive_mutex> lock(s.delivery);
  s.default_sink = sink != nullptr ? sink : &s.builtin_default;
}

void msg_set_debug_sink(MSG_SINK* sink) {
  SINKS& s = sinks();
  std::lock_guard<std::recursive_mutex> lock(s.delivery);
  s.debug_sink = sink != nullptr ? sink : &s.builtin_debug;
}

void msg_deliver_default(const MSG_RECORD& record) {
  SINKS& s = sinks();
  std::lock_guard<std::recursive_mutex> lock(s.delivery);
  (record.kind == MSG_KIND::DEBUG ? s.debug_sink : s.default_sink)->deliver(record);
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

// --- Message objects ---------------------------------------------------------------------------

MSG_BASE::MSG_BASE(MSG_REPORT* report) : m_report(report) {}

MSG_BASE::~MSG_BASE() = default;

void MSG_BASE::set_id(unsigned id) { m_id = id; }

void MSG_BASE::post() {
  if (suppressed_kind(kind(), m_id)) return;
  deliver_record(MSG_RECORD{kind(), m_id, m_text, std::string()}, m_report);
}

void MSG_BASE::fill_args(const char* format, va_list args) {
  std::string whole = or_empty(format);
  std::string text_format = whole;
  m_symbol.clear();
  size_t slash = whole.rfind('/');
  if (slash != std::string::npos && is_kind_and_symbol(whole.substr(slash + 1))) {
    text_format = whole.substr(0, slash);
    m_symbol = whole.substr(slash + 2);
  }
  m_text = vformat(to_positional(text_format).c_str(), args);
}

void MSG_D::set_debug_module(const char* module, MSG_D_LEVEL level) {
  m_module = or_empty(module);
  m_level = level;
}

void MSG_D::post() {
  if (!msg_debug_enabled(m_module.c_str(), m_level)) return;
  deliver_record(MSG_RECORD{MSG_KIND::DEBUG, m_id, m_text, m_module}, m_report);
}

bool MSG_D::set_enabled(const char* module, MSG_D_LEVEL level) {
  set_debug_module(module, level);
  return msg_debug_enabled(m_module.c_str(), m_level);
}

bool MSG_D::debug_messages_enabled(const char* module) {
  DEBUG_LEVELS& d = debug_levels();
  std::lock_guard<std::mutex> lock(d.mutex);
  if (module == nullptr) return !d.levels.empty();
  return d.levels.count(module) != 0;
}

void msg_set_debug_level(const char* module, int level) {
  DEBUG_LEVELS& d = debug_levels();
  std::lock_guard<std::mutex> lock(d.mutex);
  if (level > 0)
    d.levels[or_empty(module)] = level;
  else
    d.levels.erase(or_empty(module));
}

bool msg_debug_enabled(const char* module, MSG_D_LEVEL level) {
  DEBUG_LEVELS& d = debug_levels();
  std::lock_guard<std::mutex> lock(d.mutex);
  auto it = d.levels.find(or_empty(module));
  return it != d.levels.end() && it->second >= level;
}

// --- Index and registration --------------------------------------------------------------------

MSG_INDEX* MSG_INDEX::get_default_index() { return &default_index(); }

MSG_ID_REGISTRAR::MSG_ID_REGISTRAR(const unsigned* ids, const MSG_POST_TYPE* types, int count)
    : m_ids(ids), m_count(count) {
  for (int i = 0; i < m_count; ++i) default_index().add(m_ids[i], types[i]);
}

MSG_ID_REGISTRAR::~MSG_ID_REGISTRAR() {
  for (int i = 0; i < m_count; ++i) default_index().remove(m_ids[i]);
}

// --- Errors ------------------------------------------------------------------------------------

void msg_post(const BRANTOR_ERROR_MESSAGE& error, bool internal, MSG_REPORT* report) {
  MSG_KIND kind = internal ? MSG_KIND::INTERNAL_ERROR : MSG_KIND::ERROR;
  deliver_record(MSG_RECORD{kind, 0, error.text(), std::string()}, report);
}

void MSG_INTERNAL_ERROR::report(const char* text, const char* module, const char* file, int line) {
  std::fprintf(stderr, "INTERNAL ERROR: %s (%s %s:%d)\n", or_empty(text), or_empty(module),
               or_empty(file), line);
  std::fflush(stderr);
  std::abort();
}

// --- Debug output ------------------------------------------------------------------------------

void msg_local_vdebug(const char* module, MSG_D_LEVEL level, const char* format, va_list args) {
  if (!msg_debug_enabled(module, level)) return;
  msg_deliver_default(
      MSG_RECORD{MSG_KIND::DEBUG, 0, vformat(or_empty(format), args), or_empty(module)});
}

void msg_local_vdebug_no_checking_impl(const char* module, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(or_empty(format), args);
  va_end(args);
  msg_deliver_default(MSG_RECORD{MSG_KIND::DEBUG, 0, text, or_empty(module)});
}
