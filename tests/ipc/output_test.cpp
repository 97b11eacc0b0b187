// The processor-time accounting of output parsing. Cutting chunks into lines is tested over the
// fake host (tests/fake/output_test.cpp), where the chunks can be chosen.
#include <gtest/gtest.h>

#include <string>

#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

namespace {

// A process_line that burns processor time, which must show up in the total.
class BUSY : public IPC_COMMAND {
 public:
  BUSY() {
    m_impl->m_buffer_size = 1024;
    m_impl->initialise_buffers();
  }
  void process_line(const std::string&) override {
    const double start = ipc_get_cpu_seconds_used();
    while (ipc_get_cpu_seconds_used() - start < 0.02) {
    }
  }
};

TEST(OutputTiming, ProcessorTimeNeverDecreasesAndParsingIsAccounted) {
  double previous = ipc_get_cpu_seconds_used();
  for (int i = 0; i < 1000; ++i) {
    const double now = ipc_get_cpu_seconds_used();
    ASSERT_GE(now, previous);
    previous = now;
  }
  BUSY busy;
  ipc_total_processing_time = 0.0;
  std::string text = "burn\n";
  busy.parse_output(gsl::span<char>(text.data(), text.size()));
  EXPECT_GE(ipc_total_processing_time, 0.02);
}

}  // namespace
