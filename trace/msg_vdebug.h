// Debug output of module "IPC".
#pragma once

#include <string>

#include "format/fmt_helpers.h"
#include "host/msg.h"

// The module name of the library's debug output and internal errors.
inline constexpr const char* IPC_MODULE = "IPC";

// True when debug output of module "IPC" at level is on; asks the host at every call.
bool msg_vdebug_is_enabled(MSG_D_LEVEL level);

// Hands printf-style text to the host as debug output of module "IPC" at level.
void msg_vdebug_impl(MSG_D_LEVEL level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The library's one way to emit debug text with arguments: format printf-style first (a
// mismatch report in its place when the arguments do not fit), then pass the result as the
// argument of "%s", so text that came from a child is never taken as a format.
template <typename... ARGS>
void ipc_debug_printf(const char* format, const ARGS&... args) {
  std::string text;
  if (!KORVEL::fmt_sprintf_helper(text, format, fmt::make_printf_args(args...)))
    KORVEL::fmt_args_error(text, format, sizeof...(ARGS), fmt::make_format_args(args...));
  msg_vdebug_impl(MSG_D_LEVEL_2, "%s", text.c_str());
}

// A fixed debug text, passed the same plain way.
inline void ipc_debug_text(const std::string& text) {
  msg_vdebug_impl(MSG_D_LEVEL_2, "%s", text.c_str());
}
