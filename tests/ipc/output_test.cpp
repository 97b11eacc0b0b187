// Cutting output into lines: chunks split at newlines, lines that span chunks, the end-of-output
// flush and the processor-time accounting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

namespace {

class LINE_RECORDER : public IPC_COMMAND {
 public:
  explicit LINE_RECORDER(unsigned long chunk_size) {
    m_impl->m_buffer_size = chunk_size;
    m_impl->initialise_buffers();
  }
  void process_line(const std::string& line) override { lines.push_back(line); }

  // Feeds text in chunks of at most the buffer size, as read_from_pipe would.
  void output(std::string text) {
    for (size_t offset = 0; offset < text.size(); offset += m_impl->m_buffer_size) {
      const size_t size = std::min<size_t>(m_impl->m_buffer_size, text.size() - offset);
      parse_output(gsl::span<char>(&text[offset], size));
    }
  }
  void end_of_output() { m_impl->append_maybe_flush_scan_buffer(*this, gsl::span<char>(), true); }

  IMPL& impl() { return *m_impl; }
  std::vector<std::string> lines;
};

using LINES = std::vector<std::string>;

TEST(OutputSplitting, LinesAreCutAtNewlinesOnlyAndWaitAcrossChunks) {
  LINE_RECORDER command(4);
  command.output("a\n\nb\nx\r\n");
  command.output(std::string("nul\0inside\n", 11));
  EXPECT_EQ(command.lines, (LINES{"a", "", "b", "x\r", std::string("nul\0inside", 10)}));
  EXPECT_TRUE(command.impl().m_scan_buffer.empty());

  command.lines.clear();
  command.output("ab");
  EXPECT_TRUE(command.lines.empty());
  command.output("cd\n");
  const std::string long_line(4 * 10 + 3, 'z');
  command.output(long_line + "\nrest");
  EXPECT_EQ(command.lines, (LINES{"abcd", long_line}));
  EXPECT_EQ(command.impl().m_scan_buffer, "rest");
  command.end_of_output();
  EXPECT_EQ(command.lines.back(), "rest") << "the tail is flushed at the end";
  EXPECT_TRUE(command.impl().m_scan_buffer.empty());

  LINE_RECORDER with_newline(1024);
  with_newline.output("a\n");
  with_newline.end_of_output();
  EXPECT_EQ(with_newline.lines, (LINES{"a", ""}));
}

TEST(OutputTiming, ProcessorTimeNeverDecreasesAndParsingIsAccounted) {
  double previous = ipc_get_cpu_seconds_used();
  for (int i = 0; i < 1000; ++i) {
    const double now = ipc_get_cpu_seconds_used();
    ASSERT_GE(now, previous);
    previous = now;
  }

  // A process_line that burns processor time shows up in the total.
  class BUSY : public LINE_RECORDER {
   public:
    BUSY() : LINE_RECORDER(1024) {}
    void process_line(const std::string&) override {
      const double start = ipc_get_cpu_seconds_used();
      while (ipc_get_cpu_seconds_used() - start < 0.02) {
      }
    }
  } busy;
  ipc_total_processing_time = 0.0;
  busy.output("burn\n");
  EXPECT_GE(ipc_total_processing_time, 0.02);
}

}  // namespace
