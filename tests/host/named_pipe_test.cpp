// Named pipes of the real host layer: FIFOs in private directories, across threads and processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "host/cfg.h"
#include "host/thr_named_pipe.h"
#include "host/thr_process.h"

namespace {

constexpr auto PATIENCE = std::chrono::seconds(60);

std::string directory_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// Reads from a non-blocking pipe until want bytes came or the deadline passed.
std::string read_some(THR_NAMED_PIPE& pipe, size_t want) {
  std::string text;
  const auto started = std::chrono::steady_clock::now();
  while (text.size() < want && std::chrono::steady_clock::now() - started < PATIENCE) {
    char buffer[512];
    int32_t n = pipe.read(buffer, sizeof buffer);
    if (n < 0) break;
    if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

class ConnectTimeout {
 public:
  explicit ConnectTimeout(const char* millis) {
    cfg_set_value("thr_named_pipe_connect_timeout", millis);
  }
  ~ConnectTimeout() { cfg_unset_value("thr_named_pipe_connect_timeout"); }
};

TEST(HostNamedPipe, CreateMakesAFifoInAPrivateDirectoryThatRemoveDeletes) {
  THR_NAMED_PIPE pipe("");
  ASSERT_TRUE(pipe.create());
  const std::string name = pipe.pipe_name;
  struct stat info {};
  ASSERT_EQ(stat(name.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  ASSERT_EQ(stat(directory_of(name).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  THR_NAMED_PIPE second("");
  ASSERT_TRUE(second.create());
  EXPECT_NE(name, second.pipe_name);
  second.remove();

  THR_NAMED_PIPE by_name(name.c_str());  // another holder of the same name may remove it
  by_name.remove();
  EXPECT_FALSE(exists(name));
  EXPECT_FALSE(exists(directory_of(name)));
}

TEST(HostNamedPipe, ConnectGivesUpWithoutAReaderAndSucceedsWhenOneComesLate) {
  THR_NAMED_PIPE writer("");
  ASSERT_TRUE(writer.create());
  {
    ConnectTimeout short_wait("100");
    EXPECT_FALSE(writer.connect());
    EXPECT_EQ(writer.error_status, ETIMEDOUT);
  }

  THR_NAMED_PIPE reader(writer.pipe_name);
  std::thread late_reader([&reader] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(reader.connect_r());
  });
  EXPECT_TRUE(writer.connect()) << "the default wait is long enough for a late reader";
  late_reader.join();

  EXPECT_EQ(writer.write("Partition 0 is ready", 20), 20);
  EXPECT_EQ(read_some(reader, 20), "Partition 0 is ready");
  char buffer[512];
  EXPECT_EQ(reader.read(buffer, sizeof buffer), 0) << "nothing waits: returns at once";
  EXPECT_EQ(reader.error_status, 0);
  writer.remove();
}

TEST(HostNamedPipe, ReadEndOpensWithoutAWriterAndReadsNothing) {
  THR_NAMED_PIPE reader("");
  ASSERT_TRUE(reader.create());
  ASSERT_TRUE(reader.connect_r());
  char buffer[512];
  EXPECT_EQ(reader.read(buffer, sizeof buffer), 0);
  EXPECT_EQ(reader.error_status, 0);
  reader.remove();

  THR_NAMED_PIPE missing("/nonexistent/directory/pipe");
  EXPECT_FALSE(missing.connect_r());
  EXPECT_NE(missing.error_status, 0);
  EXPECT_EQ(missing.read(buffer, sizeof buffer), -1);
  EXPECT_EQ(missing.write("x", 1), -1);
}

TEST(HostNamedPipe, WriteToAVanishedReaderFailsWithoutSigpipe) {
  THR_NAMED_PIPE writer("");
  ASSERT_TRUE(writer.create());
  auto reader = std::make_unique<THR_NAMED_PIPE>(writer.pipe_name);
  ASSERT_TRUE(reader->connect_r());
  ASSERT_TRUE(writer.connect());
  reader.reset();  // the destructor closes the read end
  EXPECT_EQ(writer.write("Finished all partitions", 23), -1);
  EXPECT_EQ(writer.error_status, EPIPE);
  writer.remove();
}

TEST(HostNamedPipe, RoundTripWithAChildProcess) {
  auto writer = std::make_unique<THR_NAMED_PIPE>("");
  ASSERT_TRUE(writer->create());
  const std::string name = writer->pipe_name;
  unsigned long output = 0;
  unsigned long input = 0;
  auto child = thr_process_create2("cat " + name, "", &output, &output, &input, nullptr);
  ASSERT_TRUE(child.has_value());
  ASSERT_TRUE(writer->connect());
  EXPECT_EQ(writer->write("Helper 0 is done\n", 17), 17);
  writer.reset();  // closing the write end ends the child's input

  std::string text;
  uint32_t count = 0;
  char buffer[64];
  while (thr_process_read(output, buffer, sizeof buffer, &count) == 0) text.append(buffer, count);
  EXPECT_EQ(text, "Helper 0 is done\n");
  THR_PROCESS_EXIT_CODE code{-1, -1};
  while (thr_process_wait(child.value(), &code, 1) == 0) thr_msleep(5);
  EXPECT_EQ(code.exit_code, 0);
  thr_process_close_pipe(output);
  thr_process_close_pipe(input);
  THR_NAMED_PIPE(name.c_str()).remove();
  EXPECT_FALSE(exists(name));
}

}  // namespace
