// Formatting into strings without letting a formatting error escape.
#pragma once

#include <fmt/format.h>
#include <fmt/printf.h>

#include <cstddef>
#include <string>

namespace KORVEL {

// Brace-style: out := the formatted text and true, or "(unprintable)" and false on any failure.
bool fmt_format_helper(std::string& out, fmt::string_view format, fmt::format_args args);

// Printf-style: out := the formatted text and true, or "(unprintable)" and false on any failure.
bool fmt_sprintf_helper(std::string& out, fmt::string_view format,
                        fmt::basic_format_args<fmt::printf_context> args);

// out := a readable report of format and its first count arguments, one line per argument.
void fmt_args_error(std::string& out, fmt::string_view format, size_t count, fmt::format_args args);

}  // namespace KORVEL
