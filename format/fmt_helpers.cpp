// Formatting into strings without letting a formatting error escape.
#include "format/fmt_helpers.h"

#include <fmt/format.h>
#include <fmt/printf.h>

#include <utility>

namespace KORVEL {
namespace {

constexpr const char* UNPRINTABLE = "(unprintable)";

// Runs one formatting call; any exception, allocation failures included, becomes the marker.
template <typename FORMAT>
bool format_or_mark(std::string& out, FORMAT&& format_call) {
  try {
    out = format_call();
    return true;
  } catch (...) {
    out = UNPRINTABLE;
    return false;
  }
}

}  // namespace

bool fmt_format_helper(std::string& out, fmt::string_view format, fmt::format_args args) {
  return format_or_mark(out, [&] { return fmt::vformat(format, args); });
}

bool fmt_sprintf_helper(std::string& out, fmt::string_view format,
                        fmt::basic_format_args<fmt::printf_context> args) {
  return format_or_mark(out, [&] { return fmt::vsprintf(format, args); });
}

void fmt_args_error(std::string& out, fmt::string_view format, size_t count,
                    fmt::format_args args) {
  out = "ERROR: args not compatible with format string\nformat: ";
  out.append(format.data(), format.size());
  out += '\n';
  for (size_t i = 0; i < count; ++i) {
    out += fmt::format("arg[{}]: ", i);
    // Only the argument itself is guarded: a missing or unformattable one must not hide the rest.
    const std::string one_argument = fmt::sprintf("{%d}\n", i);
    try {
      out += fmt::vformat(one_argument, args);
    } catch (...) {
      out += "(unprintable)\n";
    }
  }
}

}  // namespace KORVEL
