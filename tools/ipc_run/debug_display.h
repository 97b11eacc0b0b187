// How ipc_run shows the debug channel: the library reports a child's stray output only there.
#pragma once

#include <string_view>

#include "host/msg.h"

// Shows each line of a child's stray output as "ipc_run: stray output: TEXT" on stderr (unless
// quiet) and the other debug records as "DEBUG <module>: <text>" only when debug is on.
class DEBUG_DISPLAY : public MSG_SINK {
 public:
  DEBUG_DISPLAY(bool show_stray_output, bool show_debug);
  void deliver(const MSG_RECORD& record) override;
  // Lines of stray output seen, shown or not.
  int stray_lines() const { return m_stray_lines; }

 private:
  int m_stray_lines = 0;
  bool m_show_stray_output;
  bool m_show_debug;
};

// Installs the display as the debug sink and turns on the library's debug level that reports
// stray output (counted even when not shown); the built-in sink is back when this ends.
class SCOPED_DEBUG_DISPLAY {
 public:
  SCOPED_DEBUG_DISPLAY(bool show_stray_output, bool show_debug);
  ~SCOPED_DEBUG_DISPLAY();
  SCOPED_DEBUG_DISPLAY(const SCOPED_DEBUG_DISPLAY&) = delete;
  SCOPED_DEBUG_DISPLAY& operator=(const SCOPED_DEBUG_DISPLAY&) = delete;
  int stray_lines() const { return m_display.stray_lines(); }

 private:
  DEBUG_DISPLAY m_display;
};

// Writes each line of text as "ipc_run: stray output: LINE" on stderr, escaped.
void show_stray_output(std::string_view text);
