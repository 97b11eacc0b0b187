// Reading the output pipe over the scripted fake host: what a peek decides, failing reads and
// peeks, GUI pumping after reads only, lines cut from pipe-sized chunks, the processor time spent
// parsing, and lines taken while the host has no interpreter (none is started here).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/fake/fake_host.h"
#include "host/ztcl.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

namespace {

using LINES = std::vector<std::string>;
constexpr unsigned long PIPE = 3;

class CHUNK_RECORDER : public IPC_COMMAND {
 public:
  explicit CHUNK_RECORDER(unsigned long chunk_size) {
    m_impl->m_buffer_size = chunk_size;
    m_impl->initialise_buffers();
  }
  void parse_output(gsl::span<char> chunk) override {
    chunks.emplace_back(chunk.data(), chunk.size());
    IPC_COMMAND::parse_output(chunk);
  }
  void process_line(const std::string& line) override { lines.push_back(line); }

  // One pass of the monitoring loop's read; data_available is left in available.
  bool read() { return m_impl->read_from_pipe(*this, PIPE, available); }

  IMPL& impl() { return *m_impl; }
  bool available = false;
  LINES chunks;
  LINES lines;
};

class READ_FROM_PIPE : public ::testing::Test {
 protected:
  void SetUp() override { fake_host::reset(); }
  static int gui_calls() { return fake_host::count("pump") + fake_host::count("win32_pump"); }
};

TEST_F(READ_FROM_PIPE, APeekReportingBytesThenAFailingReadEndsTheOutputAfterPumping) {
  CHUNK_RECORDER command(1024);
  fake_host::push_output(PIPE, fake_host::read_failure(12));
  EXPECT_FALSE(command.read());
  EXPECT_TRUE(command.available);
  EXPECT_TRUE(command.chunks.empty());
  EXPECT_EQ(fake_host::calls(), (LINES{"peek 3", "read 3 cap=1024", "pump", "win32_pump 250"}));
}

TEST_F(READ_FROM_PIPE, OnlyThePeeksCountDecidesWhetherToRead) {
  CHUNK_RECORDER command(1024);
  fake_host::push_output(PIPE, {fake_host::nothing_now(), fake_host::failing_peek_with("late\n"),
                                fake_host::end_of_output()});
  EXPECT_TRUE(command.read());  // nothing waiting, pipe fine
  EXPECT_FALSE(command.available);
  EXPECT_TRUE(command.read());  // a failing peek with bytes still reads them
  EXPECT_TRUE(command.available);
  EXPECT_EQ(command.lines, LINES{"late"});
  EXPECT_FALSE(command.read());  // the end
  EXPECT_FALSE(command.available);
  EXPECT_EQ(fake_host::count("read"), 1);
  EXPECT_EQ(fake_host::count("pump"), 1);  // after the one read only
}

TEST_F(READ_FROM_PIPE, TheGuiIsPumpedAfterEachReadAndNeverWhenUpdatesAreOff) {
  CHUNK_RECORDER command(1024);
  fake_host::set_process_events_result(1);
  fake_host::push_output(
      PIPE, {fake_host::chunk("a\n"), fake_host::nothing_now(), fake_host::chunk("b\n")});
  EXPECT_TRUE(command.read());
  EXPECT_TRUE(command.read());
  EXPECT_TRUE(command.read());
  // A GUI loop that served events needs no Windows pumping.
  EXPECT_EQ(fake_host::count("pump"), 2);
  EXPECT_EQ(fake_host::count("win32_pump"), 0);

  fake_host::reset();
  CHUNK_RECORDER quiet(1024);
  quiet.disable_gui_update();
  fake_host::push_output(
      PIPE, {fake_host::chunk("a\n"), fake_host::read_failure(4), fake_host::end_of_output()});
  EXPECT_TRUE(quiet.read());
  EXPECT_FALSE(quiet.read());
  EXPECT_FALSE(quiet.read());
  EXPECT_EQ(gui_calls(), 0);
  EXPECT_EQ(quiet.lines, LINES{"a"});
}

TEST_F(READ_FROM_PIPE, ChunksNeverExceedTheBufferAndLinesArriveWholeWithEveryByte) {
  CHUNK_RECORDER command(4);
  const std::string line = "0123456789abc";
  const std::string nul_line("n\0l", 3);
  fake_host::push_output(
      PIPE, {fake_host::chunk(line + "\r\n\n" + nul_line + "\nx"), fake_host::end_of_output()});
  while (command.read()) {
  }
  EXPECT_EQ(command.impl().m_scan_buffer, "x") << "an unfinished line waits";
  command.impl().append_maybe_flush_scan_buffer(command, gsl::span<char>(), true);
  EXPECT_EQ(command.chunks, (LINES{"0123", "4567", "89ab", "c\r\n\n", nul_line + "\n", "x"}));
  EXPECT_EQ(command.lines, (LINES{line + "\r", "", nul_line, "x"}));
  EXPECT_TRUE(command.impl().m_scan_buffer.empty());
  EXPECT_EQ(fake_host::calls_with_prefix("read"), LINES(6, "read 3 cap=4"));
}

// A process_line that burns processor time, which must show up in the total.
class BUSY : public CHUNK_RECORDER {
 public:
  BUSY() : CHUNK_RECORDER(1024) {}
  void process_line(const std::string&) override {
    const double start = ipc_get_cpu_seconds_used();
    while (ipc_get_cpu_seconds_used() - start < 0.02) {
    }
  }
};

TEST_F(READ_FROM_PIPE, ProcessorTimeNeverDecreasesAndParsingIsAccounted) {
  double previous = ipc_get_cpu_seconds_used();
  for (int i = 0; i < 1000; ++i) {
    const double now = ipc_get_cpu_seconds_used();
    ASSERT_GE(now, previous);
    previous = now;
  }
  BUSY busy;
  ipc_total_processing_time = 0.0;
  std::string text = "burn\n";
  busy.IPC_COMMAND::parse_output(gsl::span<char>(text.data(), text.size()));
  EXPECT_GE(ipc_total_processing_time, 0.02);
}

// Exposes the state the line protocol keeps between lines.
class TESTED_COMMAND : public IPC_COMMAND {
 public:
  IMPL& impl() { return *m_impl; }
};

TEST_F(READ_FROM_PIPE, WithoutAnInterpreterEveryCompleteCommandIsAcceptedAndTheVerdictCached) {
  ASSERT_EQ(ztcl_get_interpreter(), nullptr);
  TESTED_COMMAND command;
  for (const char* line : {"no_such_command at all", "Debug:x still accepted", "{unfinished"})
    command.process_line(line);
  EXPECT_TRUE(command.impl().m_tcl_command_cache.at("no_such_command"));
  EXPECT_TRUE(command.impl().m_tcl_command_cache.at("Debug:x"));
  EXPECT_EQ(command.impl().m_tcl_command_cache.size(), 2u);
  EXPECT_EQ(command.impl().m_tcl_buffer, "{unfinished");
}

}  // namespace
