// What ipc_run shows only on a terminal: messages coloured by severity and a progress line.
#pragma once

#include <string>

#include "host/msg.h"
#include "services/progress.h"
#include "tools/ipc_run/options.h"

// Whether messages on stdout get colours: always, never, or (auto) when stdout is a terminal
// that is not "dumb" and NO_COLOR is unset.
bool use_color(COLOR_CHOICE choice);

// The default sink for a terminal: clears the progress line first, shows control characters of
// a text as escapes when stdout is a terminal, and with colour on shows each message's label
// ("ERROR 7:") in its severity's colour.
class TERMINAL_SINK : public MSG_SINK {
 public:
  explicit TERMINAL_SINK(bool colored);
  void deliver(const MSG_RECORD& record) override;
  // Whether ipc_run needs this sink: for colour, or when stdout is a terminal.
  static bool wanted(bool colored);

 private:
  bool m_colored;
  bool m_escaped;
};

// Installs a TERMINAL_SINK as the default sink when one is wanted; the built-in one is back when
// this ends.
class SCOPED_TERMINAL_SINK {
 public:
  explicit SCOPED_TERMINAL_SINK(COLOR_CHOICE choice);
  ~SCOPED_TERMINAL_SINK();
  SCOPED_TERMINAL_SINK(const SCOPED_TERMINAL_SINK&) = delete;
  SCOPED_TERMINAL_SINK& operator=(const SCOPED_TERMINAL_SINK&) = delete;

 private:
  TERMINAL_SINK m_sink;
  bool m_installed;
};

// The line "ipc_run: [####      ]  40% TEXT" at the bottom of a terminal's stderr, redrawn in
// place; it never reaches a stderr that is not a terminal.
class PROGRESS_LINE {
 public:
  static PROGRESS_LINE& instance();
  void show(long done, long total, const std::string& text);
  // Removes the line, so the next output on stderr starts on a clean line.
  void clear();

 private:
  PROGRESS_LINE();
  bool m_terminal;
  bool m_shown = false;
};

// Writes text to stderr below a progress line, which is cleared first.
void write_to_stderr(const std::string& text);

// ipc_progress DONE TOTAL ?TEXT?: a child's progress, shown by PROGRESS_LINE. The command lives
// as long as this object.
class SCOPED_IPC_PROGRESS {
 public:
  SCOPED_IPC_PROGRESS();
  ~SCOPED_IPC_PROGRESS();
  SCOPED_IPC_PROGRESS(const SCOPED_IPC_PROGRESS&) = delete;
  SCOPED_IPC_PROGRESS& operator=(const SCOPED_IPC_PROGRESS&) = delete;

 private:
  SCOPED_PROGRESS_COMMAND m_command;
};
