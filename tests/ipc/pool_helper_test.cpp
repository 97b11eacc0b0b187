// The example pool helper as a real process, given its orders in a file: its reads of 512 bytes
// glue orders together and split them inside the head, the number, the tail and the notice.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace {

TEST(PoolHelper, TakesGluedAndSplitOrdersApartAndEndsOnTheNotice) {
  const std::string base = ::testing::TempDir() + "pool_helper_" + std::to_string(getpid());
  const std::string orders = base + ".orders", reports = base + ".reports";
  std::string stream, expected_output;
  for (int partition = 2; partition <= 98; ++partition) {
    stream += "Partition " + std::to_string(partition) + " is ready";
    expected_output += "helper 4: partition " + std::to_string(partition) + " done\n";
  }
  std::ofstream(orders) << stream << "Finished all partitions"
                        << "Partition 99 is ready";
  std::ofstream(reports).flush();  // the helper opens it for its reports without creating it
  const std::string command = std::string(IPC_CHILDREN_DIR) +
                              "/pool_helper --helper_index=4 --work_ms=0 --read_pipe=" + orders +
                              " --write_pipe=" + reports;
  std::unique_ptr<FILE, int (*)(FILE*)> helper(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(helper);
  std::string output;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, helper.get())) > 0;)
    output.append(buffer, n);
  EXPECT_EQ(pclose(helper.release()), 0);
  EXPECT_EQ(output, expected_output) << "the notice ends the helper";
  std::remove(orders.c_str());
  std::remove(reports.c_str());
}

}  // namespace
