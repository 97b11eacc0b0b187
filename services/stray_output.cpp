// A child's stray output: taken early, found on the debug channel, cut into lines, shown safely.
#include "services/stray_output.h"

#include <tcl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/common/msg_internal.h"
#include "host/ztcl.h"

namespace {

// The library's words: "Tcl command {WORD} not found, NOT posting tcl buffer = TEXT".
constexpr const char* STRAY_START = "Tcl command {";
constexpr const char* STRAY_MARK = "} not found, NOT posting tcl buffer = ";
// The library echoes this prompt line; it is never stray.
constexpr const char* PROMPT = "tcl> ";
// The report names the first word; of an outsized one only its start, to spare a copy.
constexpr size_t SHOWN_WORD_BYTES = 64;
constexpr size_t LONGEST_OFFERED_WORD = 1024;

// A failing line is quoted on one screen line: its start and a mark where it was cut.
constexpr size_t SHOWN_LINE_BYTES = 60;

std::string shortened(const std::string& text) {
  if (text.size() <= SHOWN_LINE_BYTES) return host_printable(text);
  return host_printable(host_utf8_prefix(text, SHOWN_LINE_BYTES)) + "...";
}

}  // namespace

bool host_take_stray_line(const std::string& pending, const std::string& line) {
  if (!pending.empty() || line.empty() || line == PROMPT) return false;
  // Most lines start with the word of the line before (msg_post): known to be offered, they need
  // neither a parse nor a lookup.
  thread_local std::string offered_word;
  thread_local Tcl_Interp* offered_in = nullptr;
  Tcl_Interp* interpreter = ztcl_get_interpreter();
  const size_t word_length = std::strcspn(line.c_str(), " ");
  if (interpreter == offered_in && word_length == offered_word.size() &&
      line.compare(0, word_length, offered_word) == 0)
    return false;
  // No command a child is offered has a name this long; an outsized word is not copied.
  const std::string word = line.substr(0, std::min(word_length, LONGEST_OFFERED_WORD + 1));
  if (interpreter == nullptr ||
      (word_length <= LONGEST_OFFERED_WORD &&
       Tcl_FindCommand(interpreter, word.c_str(), nullptr, TCL_GLOBAL_ONLY) != nullptr)) {
    offered_word = word;
    offered_in = interpreter;
    return false;
  }
  // Where and when the library reports stray output, so every display of it shows this too.
  if (msg_debug_enabled(STRAY_OUTPUT_MODULE, MSG_D_LEVEL_2))
    msg_deliver_default(MSG_RECORD{
        MSG_KIND::DEBUG, 0, STRAY_START + word.substr(0, SHOWN_WORD_BYTES) + STRAY_MARK + line,
        STRAY_OUTPUT_MODULE});
  return true;
}

bool host_stray_text_of(const MSG_RECORD& record, std::string_view* text) {
  if (record.module != STRAY_OUTPUT_MODULE || record.text.rfind(STRAY_START, 0) != 0) return false;
  const size_t mark = record.text.find(STRAY_MARK);
  if (mark == std::string::npos) return false;
  *text = std::string_view(record.text).substr(mark + std::char_traits<char>::length(STRAY_MARK));
  return true;
}

std::vector<std::string_view> host_stray_lines(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && text[end - 1] == '\n') --end;
  std::vector<std::string_view> lines;
  for (size_t start = 0;;) {
    const size_t line_end = std::min(text.find('\n', start), end);
    lines.push_back(text.substr(start, line_end - start));
    if (line_end >= end) return lines;
    start = line_end + 1;
  }
}

std::string host_failed_line_text(const std::string& error, const std::string& line) {
  return "backend line failed: " + host_printable(error) + ": " + shortened(line);
}

std::string host_printable(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
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

std::string host_printable_lines(std::string_view text) {
  std::string shown;
  for (size_t start = 0;;) {
    const size_t newline = text.find('\n', start);
    shown += host_printable(text.substr(start, newline - start));
    if (newline == std::string_view::npos) return shown;
    shown += '\n';
    start = newline + 1;
  }
}

std::string_view host_utf8_prefix(std::string_view text, size_t width) {
  if (text.size() <= width) return text;
  size_t end = width;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}
