// How ipc_run shows the debug channel: the library reports a child's stray output only there.
#include "tools/ipc_run/debug_display.h"

#include <cstdio>
#include <string>

#include "services/stray_output.h"
#include "tools/ipc_run/terminal.h"

namespace {

// An outsized stray line is escaped and written a piece at a time, never copied whole.
constexpr size_t SHOWN_PIECE_BYTES = 1 << 16;

}  // namespace

void show_stray_output(std::string_view text) {
  for (std::string_view line : host_stray_lines(text)) {
    std::string shown = "ipc_run: stray output: ";
    for (size_t at = 0;; at += SHOWN_PIECE_BYTES) {
      shown += host_printable(line.substr(at, SHOWN_PIECE_BYTES));
      if (at + SHOWN_PIECE_BYTES >= line.size()) break;
      write_to_stderr(shown);
      shown.clear();
    }
    write_to_stderr(shown + "\n");
  }
}

DEBUG_DISPLAY::DEBUG_DISPLAY(bool show_stray_output, bool show_debug)
    : m_show_stray_output(show_stray_output), m_show_debug(show_debug) {}

void DEBUG_DISPLAY::deliver(const MSG_RECORD& record) {
  if (m_show_debug) {
    // Debug texts carry the child's words (its Debug: lines, commands it named).
    write_to_stderr("DEBUG " + record.module + ": " + host_printable_lines(record.text) + "\n");
  }
  std::string_view stray;
  if (!host_stray_text_of(record, &stray)) return;
  m_stray_lines += static_cast<int>(host_stray_lines(stray).size());
  if (m_show_stray_output) show_stray_output(stray);
}

SCOPED_DEBUG_DISPLAY::SCOPED_DEBUG_DISPLAY(bool show_stray_output, bool show_debug)
    : m_display(show_stray_output, show_debug) {
  msg_set_debug_sink(&m_display);
  // The library reports stray output at this level; counting it for --strict needs it too.
  msg_set_debug_level(STRAY_OUTPUT_MODULE, MSG_D_LEVEL_2);
}

SCOPED_DEBUG_DISPLAY::~SCOPED_DEBUG_DISPLAY() { msg_set_debug_sink(nullptr); }
