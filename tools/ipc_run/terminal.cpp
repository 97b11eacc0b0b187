// What ipc_run shows only on a terminal: messages coloured by severity and a progress line.
#include "tools/ipc_run/terminal.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "services/stray_output.h"

namespace {

constexpr const char* RESET = "\033[0m";
constexpr const char* CLEAR_LINE = "\r\033[K";
constexpr int BAR_WIDTH = 20;
constexpr size_t TEXT_WIDTH = 40;

const char* color_of(MSG_KIND kind) {
  switch (kind) {
    case MSG_KIND::ERROR:
    case MSG_KIND::INTERNAL_ERROR:
      return "\033[1;31m";
    case MSG_KIND::WARNING:
      return "\033[1;33m";
    case MSG_KIND::INFO:
      return "\033[1;36m";
    case MSG_KIND::DEBUG:
      break;
  }
  return "";
}

void write_raw_stderr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool use_color(COLOR_CHOICE choice) {
  if (choice != COLOR_CHOICE::AUTO) return choice == COLOR_CHOICE::ALWAYS;
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr && term != nullptr &&
         std::strcmp(term, "dumb") != 0;
}

TERMINAL_SINK::TERMINAL_SINK(bool colored)
    : m_colored(colored), m_escaped(isatty(STDOUT_FILENO) == 1) {}

bool TERMINAL_SINK::wanted(bool colored) { return colored || isatty(STDOUT_FILENO) == 1; }

void TERMINAL_SINK::deliver(const MSG_RECORD& record) {
  PROGRESS_LINE::instance().clear();
  // On a terminal a child's text must not move the cursor or change colours.
  const std::string line =
      m_escaped ? host_printable(msg_format_record(record)) : msg_format_record(record);
  const size_t label_end = line.find(':');
  std::string shown = !m_colored || label_end == std::string::npos
                          ? line
                          : color_of(record.kind) + line.substr(0, label_end + 1) + RESET +
                                line.substr(label_end + 1);
  shown += '\n';
  std::fwrite(shown.data(), 1, shown.size(), stdout);
  std::fflush(stdout);
}

SCOPED_TERMINAL_SINK::SCOPED_TERMINAL_SINK(COLOR_CHOICE choice)
    : m_sink(use_color(choice)), m_installed(TERMINAL_SINK::wanted(use_color(choice))) {
  if (m_installed) msg_set_default_sink(&m_sink);
}

SCOPED_TERMINAL_SINK::~SCOPED_TERMINAL_SINK() {
  if (m_installed) msg_set_default_sink(nullptr);
}

PROGRESS_LINE& PROGRESS_LINE::instance() {
  static PROGRESS_LINE* line = new PROGRESS_LINE;  // never destroyed: used until the exit
  return *line;
}

PROGRESS_LINE::PROGRESS_LINE() : m_terminal(isatty(STDERR_FILENO) == 1) {}

void PROGRESS_LINE::show(long done, long total, const std::string& text) {
  if (!m_terminal) return;
  const long shown_done = total > 0 ? std::min(done, total) : 0;
  const int percent = total > 0 ? static_cast<int>(shown_done * 100 / total) : 0;
  const int filled = percent * BAR_WIDTH / 100;
  std::string line = CLEAR_LINE + std::string("ipc_run: [") + std::string(filled, '#') +
                     std::string(BAR_WIDTH - filled, ' ') + "] ";
  char number[8];
  std::snprintf(number, sizeof number, "%3d%%", percent);
  line += number;
  // One terminal line: the child's text is cut short and cannot move the cursor.
  if (!text.empty()) line += " " + host_printable(host_utf8_prefix(text, TEXT_WIDTH));
  write_raw_stderr(line);
  m_shown = true;
}

void PROGRESS_LINE::clear() {
  if (!m_shown) return;
  write_raw_stderr(CLEAR_LINE);
  m_shown = false;
}

void write_to_stderr(const std::string& text) {
  // Messages held back in stdout's buffer come first: with 2>&1 the log keeps the child's order.
  msg_flush();
  PROGRESS_LINE::instance().clear();
  write_raw_stderr(text);
}

SCOPED_IPC_PROGRESS::SCOPED_IPC_PROGRESS()
    : m_command([](long done, long total, const std::string& text) {
        PROGRESS_LINE::instance().show(done, total, text);
      }) {}

SCOPED_IPC_PROGRESS::~SCOPED_IPC_PROGRESS() { PROGRESS_LINE::instance().clear(); }
