// The pool's bare texts, glued or split across reads, taken apart like the helpers do.
#include "pool/orders.h"

#include <cstdlib>

namespace {

constexpr std::string_view FINISHED = "Finished all partitions";

enum class SCAN { COMPLETE, INCOMPLETE, MALFORMED };

bool may_become(std::string_view text, std::string_view literal) {
  return text.size() < literal.size() && literal.substr(0, text.size()) == text;
}

// Looks for head digits tail at the front of text.
SCAN scan(std::string_view text, std::string_view head, std::string_view tail, int* number,
          size_t* length) {
  if (text.substr(0, head.size()) != head)
    return may_become(text, head) ? SCAN::INCOMPLETE : SCAN::MALFORMED;
  size_t digits_end = text.find_first_not_of("0123456789", head.size());
  if (digits_end == std::string_view::npos) return SCAN::INCOMPLETE;
  if (digits_end == head.size() || digits_end - head.size() > 9) return SCAN::MALFORMED;
  std::string_view rest = text.substr(digits_end);
  if (rest.substr(0, tail.size()) != tail)
    return may_become(rest, tail) ? SCAN::INCOMPLETE : SCAN::MALFORMED;
  *number = std::atoi(std::string(text.substr(head.size(), digits_end - head.size())).c_str());
  *length = digits_end + tail.size();
  return SCAN::COMPLETE;
}

}  // namespace

std::string partition_order(int partition) {
  return "Partition " + std::to_string(partition) + " is ready";
}

std::vector<std::string> ORDER_BOOK::take_orders(std::string_view bytes) {
  m_orders.append(bytes);
  std::vector<std::string> orders;
  for (;;) {
    if (m_orders.compare(0, FINISHED.size(), FINISHED) == 0) {
      m_orders.erase(0, FINISHED.size());
      finished = true;
      orders.emplace_back(FINISHED);
      continue;
    }
    int partition = 0;
    size_t length = 0;
    SCAN found = scan(m_orders, "Partition ", " is ready", &partition, &length);
    if (found == SCAN::INCOMPLETE || (found == SCAN::MALFORMED && may_become(m_orders, FINISHED)))
      return orders;
    if (found == SCAN::MALFORMED) {
      m_orders.erase(0, 1);
      ++malformed;
      continue;
    }
    m_orders.erase(0, length);
    held = partition;
    orders.push_back(partition_order(partition));
  }
}

std::vector<std::string> ORDER_BOOK::take_reports(std::string_view bytes) {
  m_reports.append(bytes);
  std::vector<std::string> reports;
  for (;;) {
    int helper = 0;
    size_t length = 0;
    SCAN found = scan(m_reports, "Helper ", " is done", &helper, &length);
    if (found == SCAN::INCOMPLETE) return reports;
    if (found == SCAN::MALFORMED) {
      m_reports.erase(0, 1);
      ++malformed;
      continue;
    }
    if (held)
      reports.push_back(m_reports.substr(0, length));
    else
      ++dropped_reports;
    held.reset();
    m_reports.erase(0, length);
  }
}

std::string ORDER_BOOK::replay() const {
  return (held ? partition_order(*held) : std::string()) +
         (finished ? std::string(FINISHED) : std::string());
}
