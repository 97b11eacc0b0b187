// How ipc_run reads the values of its options: numbers, durations and settings.
#include "tools/ipc_run/option_values.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "host/cfg.h"

std::string key_list() {
  std::string list;
  for (const SETTING* setting : SETTINGS)
    list += std::string(list.empty() ? "" : ", ") + setting->name;
  return list;
}

bool parse_int(const std::string& text, long low, long high, long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  *value = std::strtol(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && *value >= low && *value <= high;
}

bool valid_value(const SETTING& setting, const std::string& value) {
  long number = 0;
  bool is_flag = false;
  if (setting.kind == SETTING_KIND::FLAG) return cfg_text_is_on(value, &is_flag), is_flag;
  return parse_int(value, setting.minimum, 0x7FFFFFFFL, &number);
}

bool parse_duration(const std::string& text, double* seconds) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || !std::isfinite(value) || value < 0) return false;
  const std::string unit = end;
  if (unit == "" || unit == "s")
    *seconds = value;
  else if (unit == "m")
    *seconds = value * 60;
  else if (unit == "h")
    *seconds = value * 3600;
  else if (unit == "d")
    *seconds = value * 86400;
  else
    return false;
  return true;
}
