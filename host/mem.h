// Memory service: per-module accounting and printf-style string formatting.
#pragma once

#include <string>

// One file-scope object per source file, alive from load to unload.
class MEM_INITIALIZER {
 public:
  explicit MEM_INITIALIZER(const char* module);
  ~MEM_INITIALIZER();
  MEM_INITIALIZER(const MEM_INITIALIZER&) = delete;
  MEM_INITIALIZER& operator=(const MEM_INITIALIZER&) = delete;

 private:
  const char* m_module;
};

// Number of MEM_INITIALIZER objects alive for module.
int mem_initializer_count(const char* module);

namespace MEM_DETAIL {
// Replaces *out with the printf-style output of format and its arguments.
void stl_raw_sprintf(std::string* out, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
}  // namespace MEM_DETAIL
