// For backend authors: lines a child writes so that its host evaluates them as intended.
// Header-only; needs nothing but the C++ standard library.
//
//   std::fputs(ipc_backend::post_line("warning", 12, "disk almost full").c_str(), stdout);
//   std::fflush(stdout);  // the host reads lines as they come; unflushed text waits
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace ipc_backend {

// text as one Tcl word that always stays on one line: characters Tcl would act on are
// backslash-escaped, control characters become \n, \t, \r or three-digit octal escapes, and
// every other byte, UTF-8 or not, stays as it is, so the host gets the text's exact bytes.
inline std::string tcl_word(std::string_view text) {
  if (text.empty()) return "{}";
  std::string word;
  word.reserve(text.size() + 8);
  for (char c : text) {
    switch (c) {
      case '\n':
        word += "\\n";
        break;
      case '\t':
        word += "\\t";
        break;
      case '\r':
        word += "\\r";
        break;
      case ' ':
      case ';':
      case '{':
      case '}':
      case '[':
      case ']':
      case '$':
      case '"':
      case '\\':
      case '#':
        word += '\\';
        word += c;
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char octal[5];
          std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
          word += octal;
        } else {
          word += c;
        }
    }
  }
  return word;
}

// "msg_post 0 SEVERITY ?ID? TEXT" and a newline: a message to the host's default report.
// severity: "error", "warning" or "info"; id 0 posts without an id.
inline std::string post_line(std::string_view severity, unsigned id, std::string_view text) {
  std::string line = "msg_post 0 ";
  line += tcl_word(severity);
  if (id != 0) line += " " + std::to_string(id);
  return line + " " + tcl_word(text) + "\n";
}

// "msg_internal_error 0 TEXT" and a newline: an internal-error record; the host goes on.
inline std::string internal_error_line(std::string_view text) {
  return "msg_internal_error 0 " + tcl_word(text) + "\n";
}

// "Debug: TEXT" and a newline: shown by the host only when its debug output is on.
inline std::string debug_line(std::string_view text) { return "Debug: " + tcl_word(text) + "\n"; }

// "ipc_progress DONE TOTAL TEXT" and a newline: how far the backend got, shown by the host as
// a progress line or bar.
inline std::string progress_line(unsigned long done, unsigned long total, std::string_view text) {
  return "ipc_progress " + std::to_string(done) + " " + std::to_string(total) + " " +
         tcl_word(text) + "\n";
}

// Writes line to standard output and flushes it, so the host sees it at once.
inline void emit(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace ipc_backend
