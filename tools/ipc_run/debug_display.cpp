#include "tools/ipc_run/debug_display.h"

#include <cstdio>
#include <string>

#include "tools/ipc_run/terminal.h"

namespace {

// The library's report of stray output: "Tcl command {WORD} not found, NOT posting tcl buffer =
// TEXT", followed by an advice record for developers.
constexpr const char* LIBRARY_MODULE = "IPC";
constexpr const char* STRAY_START = "Tcl command {";
constexpr const char* STRAY_MARK = "} not found, NOT posting tcl buffer = ";

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

void show_stray_output_lines(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();  // the final newline's empty line
  std::string shown;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    shown += "ipc_run: stray output: " + printable(text.substr(start, end - start)) + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  write_to_stderr(shown);
}

}  // namespace

void show_stray_output(const std::string& text) { show_stray_output_lines(text); }

std::string printable(const std::string& text) {
  std::string shown;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

DEBUG_DISPLAY::DEBUG_DISPLAY(bool show_stray_output, bool show_debug)
    : m_show_stray_output(show_stray_output), m_show_debug(show_debug) {}

void DEBUG_DISPLAY::deliver(const MSG_RECORD& record) {
  if (m_show_debug) {
    write_to_stderr("DEBUG " + record.module + ": " + record.text + "\n");
  }
  if (!m_show_stray_output || record.module != LIBRARY_MODULE ||
      !starts_with(record.text, STRAY_START))
    return;
  size_t mark = record.text.find(STRAY_MARK);
  if (mark != std::string::npos)
    show_stray_output_lines(record.text.substr(mark + std::char_traits<char>::length(STRAY_MARK)));
}

SCOPED_DEBUG_DISPLAY::SCOPED_DEBUG_DISPLAY(bool show_stray_output, bool show_debug)
    : m_display(show_stray_output, show_debug) {
  msg_set_debug_sink(&m_display);
  // The library reports stray output at this level; showing it needs the level on.
  if (show_stray_output || show_debug) msg_set_debug_level(LIBRARY_MODULE, MSG_D_LEVEL_2);
}

SCOPED_DEBUG_DISPLAY::~SCOPED_DEBUG_DISPLAY() { msg_set_debug_sink(nullptr); }
