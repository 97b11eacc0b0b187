// Which messages are shown: the suppression index with its registrations, and debug levels.
#include <map>
#include <mutex>
#include <set>

#include "host/common/msg_internal.h"
#include "host/msg.h"

namespace {

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

struct DEBUG_LEVELS {
  std::mutex mutex;
  std::map<std::string, int> levels;  // only modules with a level above 0
};

DEBUG_LEVELS& debug_levels() {
  static DEBUG_LEVELS* instance = new DEBUG_LEVELS;
  return *instance;
}

}  // namespace

// --- Index and registration --------------------------------------------------------------------

MSG_INDEX* MSG_INDEX::get_default_index() { return &default_index(); }

bool msg_suppressed(MSG_KIND kind, unsigned id) {
  if (id == 0 || (kind != MSG_KIND::INFO && kind != MSG_KIND::WARNING)) return false;
  return default_index().is_suppressed(id);
}

MSG_ID_REGISTRAR::MSG_ID_REGISTRAR(const unsigned* ids, const MSG_POST_TYPE* types, int count)
    : m_ids(ids), m_count(count) {
  for (int i = 0; i < m_count; ++i) default_index().add(m_ids[i], types[i]);
}

MSG_ID_REGISTRAR::~MSG_ID_REGISTRAR() {
  for (int i = 0; i < m_count; ++i) default_index().remove(m_ids[i]);
}

// --- Debug levels and debug output -------------------------------------------------------------

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
    d.levels[msg_or_empty(module)] = level;
  else
    d.levels.erase(msg_or_empty(module));
}

bool msg_debug_enabled(const char* module, MSG_D_LEVEL level) {
  DEBUG_LEVELS& d = debug_levels();
  std::lock_guard<std::mutex> lock(d.mutex);
  auto it = d.levels.find(msg_or_empty(module));
  return it != d.levels.end() && it->second >= level;
}

void msg_local_vdebug(const char* module, MSG_D_LEVEL level, const char* format, va_list args) {
  if (!msg_debug_enabled(module, level)) return;
  msg_deliver_default(MSG_RECORD{MSG_KIND::DEBUG, 0, msg_vformat(msg_or_empty(format), args),
                                 msg_or_empty(module)});
}

void msg_local_vdebug_no_checking_impl(const char* module, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = msg_vformat(msg_or_empty(format), args);
  va_end(args);
  msg_deliver_default(MSG_RECORD{MSG_KIND::DEBUG, 0, text, msg_or_empty(module)});
}

void host_debug_text(const char* module, const std::string& text) {
  if (MSG_D::debug_messages_enabled(nullptr))
    msg_deliver_default(MSG_RECORD{MSG_KIND::DEBUG, 0, text, msg_or_empty(module)});
}
