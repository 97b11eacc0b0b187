#include "host/stray_output.h"

#include <algorithm>

namespace {

// The library's words: "Tcl command {WORD} not found, NOT posting tcl buffer = TEXT".
constexpr const char* STRAY_START = "Tcl command {";
constexpr const char* STRAY_MARK = "} not found, NOT posting tcl buffer = ";

}  // namespace

bool host_stray_text_of(const MSG_RECORD& record, std::string* text) {
  if (record.module != STRAY_OUTPUT_MODULE || record.text.rfind(STRAY_START, 0) != 0) return false;
  const size_t mark = record.text.find(STRAY_MARK);
  if (mark == std::string::npos) return false;
  *text = record.text.substr(mark + std::char_traits<char>::length(STRAY_MARK));
  return true;
}

std::vector<std::string> host_stray_lines(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && text[end - 1] == '\n') --end;
  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    const size_t line_end = std::min(text.find('\n', start), end);
    lines.push_back(text.substr(start, line_end - start));
    if (line_end >= end) return lines;
    start = line_end + 1;
  }
}
