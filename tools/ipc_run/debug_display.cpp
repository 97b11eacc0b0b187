#include "tools/ipc_run/debug_display.h"

#include <cstdio>
#include <string>

#include "host/stray_output.h"
#include "tools/ipc_run/terminal.h"

void show_stray_output(const std::string& text) {
  std::string shown;
  for (const std::string& line : host_stray_lines(text))
    shown += "ipc_run: stray output: " + printable(line) + "\n";
  write_to_stderr(shown);
}

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
  std::string stray;
  if (!host_stray_text_of(record, &stray)) return;
  ++m_stray_reports;
  if (m_show_stray_output) show_stray_output(stray);
}

SCOPED_DEBUG_DISPLAY::SCOPED_DEBUG_DISPLAY(bool show_stray_output, bool show_debug)
    : m_display(show_stray_output, show_debug) {
  msg_set_debug_sink(&m_display);
  // The library reports stray output at this level; counting it for --strict needs it too.
  msg_set_debug_level(STRAY_OUTPUT_MODULE, MSG_D_LEVEL_2);
}

SCOPED_DEBUG_DISPLAY::~SCOPED_DEBUG_DISPLAY() { msg_set_debug_sink(nullptr); }
