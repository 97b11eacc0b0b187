// Memory service: per-module accounting and printf-style string formatting.
#include "host/mem.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

namespace {

struct MEM_COUNTS {
  std::mutex mutex;
  std::map<std::string, int> live;
};

MEM_COUNTS& counts() {
  static MEM_COUNTS* instance = new MEM_COUNTS;  // never destroyed: initializers outlive statics
  return *instance;
}

void add_live(const char* module, int delta) {
  MEM_COUNTS& c = counts();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.live[module] += delta;
}

}  // namespace

MEM_INITIALIZER::MEM_INITIALIZER(const char* module) : m_module(module) { add_live(m_module, 1); }

MEM_INITIALIZER::~MEM_INITIALIZER() { add_live(m_module, -1); }

int mem_initializer_count(const char* module) {
  MEM_COUNTS& c = counts();
  std::lock_guard<std::mutex> lock(c.mutex);
  auto it = c.live.find(module);
  return it == c.live.end() ? 0 : it->second;
}

namespace MEM_DETAIL {

void stl_raw_sprintf(std::string* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  int size = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (size < 0) {
    out->clear();
  } else {
    out->assign(static_cast<size_t>(size), '\0');
    std::vsnprintf(&(*out)[0], static_cast<size_t>(size) + 1, format, args);
  }
  va_end(args);
}

}  // namespace MEM_DETAIL
