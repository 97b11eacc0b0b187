// Named pipes of the real host layer: FIFOs in private directories, across threads.
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

namespace {

std::string directory_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

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
  cfg_set_value("thr_named_pipe_connect_timeout", "100");
  EXPECT_FALSE(writer.connect());
  EXPECT_EQ(writer.error_status, ETIMEDOUT);
  cfg_unset_value("thr_named_pipe_connect_timeout");

  THR_NAMED_PIPE reader(writer.pipe_name);
  std::thread late_reader([&reader] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(reader.connect_r());
  });
  EXPECT_TRUE(writer.connect()) << "the default wait is long enough for a late reader";
  late_reader.join();

  EXPECT_EQ(writer.write("Partition 0 is ready", 20), 20);
  char buffer[512];
  ASSERT_EQ(reader.read(buffer, sizeof buffer), 20) << "a small write arrives whole";
  EXPECT_EQ(std::string(buffer, 20), "Partition 0 is ready");
  EXPECT_EQ(reader.read(buffer, sizeof buffer), 0) << "nothing waits: returns at once";
  EXPECT_EQ(reader.error_status, 0);
  writer.remove();
}

TEST(HostNamedPipe, WithoutAPeerReadsGiveNothingAndWritesFailWithoutSigpipe) {
  THR_NAMED_PIPE writer("");
  ASSERT_TRUE(writer.create());
  auto reader = std::make_unique<THR_NAMED_PIPE>(writer.pipe_name);
  ASSERT_TRUE(reader->connect_r()) << "the read end opens without a writer";
  char buffer[512];
  EXPECT_EQ(reader->read(buffer, sizeof buffer), 0);
  EXPECT_EQ(reader->error_status, 0);
  ASSERT_TRUE(writer.connect());
  reader.reset();  // the destructor closes the read end
  EXPECT_EQ(writer.write("Finished all partitions", 23), -1);
  EXPECT_EQ(writer.error_status, EPIPE);
  writer.remove();

  THR_NAMED_PIPE missing("/nonexistent/directory/pipe");
  EXPECT_FALSE(missing.connect_r());
  EXPECT_NE(missing.error_status, 0);
  EXPECT_EQ(missing.read(buffer, sizeof buffer), -1);
  EXPECT_EQ(missing.write("x", 1), -1);
}

}  // namespace
