// What the dispatcher told one helper and what the helper answered, seen as it passes the relay.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ORDER_BOOK {
 public:
  // Takes bytes from the dispatcher; the orders they complete, each as its exact text.
  std::vector<std::string> take_orders(std::string_view bytes);
  // Takes bytes from the helper; the reports they complete that answer the held partition. A
  // report with no partition held (a late or repeated one) is dropped and counted.
  std::vector<std::string> take_reports(std::string_view bytes);
  // The orders a replacement helper needs: the held partition, then the notice if it was sent.
  std::string replay() const;

  std::optional<int> held;  // the partition ordered and not yet reported
  bool finished = false;    // "Finished all partitions" was sent
  int dropped_reports = 0;
  int malformed = 0;  // bytes that were no message of the protocol, skipped

 private:
  std::string m_orders;
  std::string m_reports;
};

// "Partition <p> is ready"
std::string partition_order(int partition);
