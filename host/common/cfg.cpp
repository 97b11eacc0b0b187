// Configuration service: named values, set by the host, read by the library.
#include "host/cfg.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

struct CONFIG {
  std::mutex mutex;
  std::map<std::string, std::string> values;
};

CONFIG& config() {
  static CONFIG* instance = new CONFIG;  // never destroyed: read by exit handlers too
  return *instance;
}

bool lookup(const std::string& name, std::string* value) {
  CONFIG& c = config();
  std::lock_guard<std::mutex> lock(c.mutex);
  auto it = c.values.find(name);
  if (it == c.values.end()) return false;
  *value = it->second;
  return true;
}

}  // namespace

bool cfg_text_is_on(const std::string& text, bool* is_flag) {
  std::string value = text;
  std::transform(value.begin(), value.end(), value.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const bool on = value == "1" || value == "on" || value == "true" || value == "yes";
  if (is_flag != nullptr)
    *is_flag = on || value == "0" || value == "off" || value == "false" || value == "no";
  return on;
}

bool cfg_is_on(const std::string& name) {
  std::string value;
  return lookup(name, &value) && cfg_text_is_on(value);
}

int cfg_get_int_value(const std::string& name, int default_value) {
  std::string value;
  if (!lookup(name, &value) || value.empty()) return default_value;
  errno = 0;
  char* end = nullptr;
  long parsed = std::strtol(value.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return default_value;
  return static_cast<int>(parsed);
}

void cfg_set_value(const std::string& name, const std::string& value) {
  CONFIG& c = config();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.values[name] = value;
}

void cfg_unset_value(const std::string& name) {
  CONFIG& c = config();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.values.erase(name);
}
