// What a host relay says on its standard output, a line at a time: the helper's own lines, each
// marked, and the relay's events. Marking every helper line is what keeps a helper from forging
// an event; any unmarked line is the relay's own complaint.
#pragma once

#include <string>
#include <string_view>

constexpr std::string_view RELAY_OUTPUT_MARK = "output ";
constexpr std::string_view RELAY_EVENT_MARK = "event ";
// A helper line longer than this is passed on in pieces of this size, so neither side holds an
// unbounded line.
constexpr size_t RELAY_LINE_LIMIT = 64 * 1024;
// The host side cuts the relay's lines at this length: a piece of a helper line with its mark
// stays one line.
constexpr size_t RELAY_MARKED_LINE_LIMIT = RELAY_LINE_LIMIT + 64;

// "output LINE\n" for a line the helper printed.
inline std::string relay_output_line(std::string_view line) {
  return std::string(RELAY_OUTPUT_MARK).append(line).append("\n");
}

// "event WORD TEXT\n"; the text is the relay's own and holds no newline.
inline std::string relay_event_line(std::string_view word, std::string_view text) {
  return std::string(RELAY_EVENT_MARK).append(word).append(" ").append(text).append("\n");
}

// Cuts a byte stream into lines of at most limit bytes, without their newlines.
class LINE_CUTTER {
 public:
  explicit LINE_CUTTER(size_t limit) : m_limit(limit) {}

  // Calls take(line) for each complete line in bytes.
  template <typename TAKE>
  void add(std::string_view bytes, TAKE&& take) {
    for (size_t start = 0; start < bytes.size();) {
      const size_t newline = bytes.find('\n', start);
      const size_t end = newline == std::string_view::npos ? bytes.size() : newline;
      m_pending.append(bytes.substr(start, end - start));
      while (m_pending.size() > m_limit) {
        take(std::string_view(m_pending).substr(0, m_limit));
        m_pending.erase(0, m_limit);
      }
      if (newline != std::string_view::npos) {
        take(std::string_view(m_pending));
        m_pending.clear();
      }
      start = end + 1;
    }
  }
  // The text after the last newline, as a last line, when there is any.
  template <typename TAKE>
  void finish(TAKE&& take) {
    if (!m_pending.empty()) take(std::string_view(m_pending));
    m_pending.clear();
  }

 private:
  const size_t m_limit;
  std::string m_pending;
};
