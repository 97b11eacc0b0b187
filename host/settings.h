// Every setting the library and the host read through the configuration service: its name,
// kind, default, smallest value and meaning, in one table that the readers, ipc_run's --set and
// its help, and README's table all follow.
#pragma once

#include <cstddef>

#include "host/cfg.h"

enum class SETTING_KIND { FLAG, NUMBER };

struct SETTING {
  const char* name;
  SETTING_KIND kind;
  int default_value;  // of a number; a flag is off unless set
  int minimum;        // of a number
  const char* unit;   // of a number, as --set's help names it
  const char* meaning;
};

inline constexpr SETTING SETTING_USE_SYSTEM{
    "ipc_use_system",
    SETTING_KIND::FLAG,
    0,
    0,
    "",
    "run the full command line through the system shell instead of the process service"};
inline constexpr SETTING SETTING_BUFFER_SIZE{"ipc_buffer_size",
                                             SETTING_KIND::NUMBER,
                                             1024,
                                             1,
                                             "BYTES",
                                             "bytes per read of the child's output"};
inline constexpr SETTING SETTING_SLEEP{
    "ipc_sleep", SETTING_KIND::NUMBER,
    0,           0,
    "MS",        "milliseconds slept per pass while output flows"};
inline constexpr SETTING SETTING_PIPE_CONNECT_TIMEOUT{
    "thr_named_pipe_connect_timeout",
    SETTING_KIND::NUMBER,
    10000,
    0,
    "MS",
    "milliseconds a named pipe waits for its other end"};
inline constexpr SETTING SETTING_PIPE_WRITE_TIMEOUT{
    "thr_named_pipe_write_timeout",
    SETTING_KIND::NUMBER,
    1000,
    0,
    "MS",
    "milliseconds a write to a named pipe may wait for its reader"};
inline constexpr SETTING SETTING_TCL_TRUSTED{
    "tcl_trusted",
    SETTING_KIND::FLAG,
    0,
    0,
    "",
    "evaluate child lines in the host's own interpreter instead of a safe one"};
inline constexpr SETTING SETTING_TCL_TIME_LIMIT{
    "tcl_time_limit",
    SETTING_KIND::NUMBER,
    2000,
    0,
    "MS",
    "milliseconds one child command may run in the safe interpreter; 0 for no limit"};

inline constexpr const SETTING* SETTINGS[] = {
    &SETTING_USE_SYSTEM,           &SETTING_BUFFER_SIZE,        &SETTING_SLEEP,
    &SETTING_PIPE_CONNECT_TIMEOUT, &SETTING_PIPE_WRITE_TIMEOUT, &SETTING_TCL_TRUSTED,
    &SETTING_TCL_TIME_LIMIT};

// A number setting's value, its default when unset or unreadable.
inline int setting_number(const SETTING& setting) {
  return cfg_get_int_value(setting.name, setting.default_value);
}

// Whether a flag setting is on.
inline bool setting_on(const SETTING& setting) { return cfg_is_on(setting.name); }
