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

bool cfg_is_on(const std::string& name) {
  std::string value;
  if (!lookup(name, &value)) return false;
  std::transform(value.begin(), value.end(), value.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return value == "1" || value == "on" || value == "true" || value == "yes";
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
