// An example pool helper: works through the partitions that a dispatcher hands out over two
// named pipes, using plain POSIX only.
//
//   pool_helper --helper_index=I --read_pipe=TO --write_pipe=FROM [--work_ms=N]
//               [--result_dir=DIR]
//
// The dispatcher writes orders on TO and reads reports from FROM. Every message is a bare text,
// with no newline, no NUL and no length prefix:
//
//   on TO, to this helper:     "Partition <p> is ready"    work on partition p
//                              "Finished all partitions"   no order will follow
//   on FROM, to the dispatcher: "Helper <I> is done"        the current partition is finished
//
// Nothing separates one message from the next, so a single read may return several of them
// glued together, for example "Partition 4 is readyFinished all partitions", or only the first
// part of one. The helper therefore collects what it reads and takes complete messages off the
// front of that buffer, keeping an incomplete tail until the next read brings the rest.
//
// The notice may arrive while the last partition is still being worked on; the helper finishes
// it and reports as usual (the dispatcher no longer reads reports by then), then exits 0. It also
// exits 0 when the dispatcher closes TO. With more helpers than partitions a helper is given its
// own index as a partition it cannot know to be surplus; it works on it like any other.
//
// For each finished partition one line goes to standard output: "helper I: partition p done".
// With --result_dir, the partition's result (the sum of the numbers 100p to 100p + 99) is also
// written to DIR/partition_<p>.result, complete or not at all, for a coordinator to collect.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view ORDER_HEAD = "Partition ";
constexpr std::string_view ORDER_TAIL = " is ready";
constexpr std::string_view FINISHED = "Finished all partitions";

struct OPTIONS {
  int helper_index = -1;
  std::string read_pipe;
  std::string write_pipe;
  int work_ms = 100;
  std::string result_dir;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: pool_helper --helper_index=I --read_pipe=TO --write_pipe=FROM "
               "[--work_ms=N] [--result_dir=DIR]\n");
  std::exit(2);
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "pool_helper: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

bool take_value(std::string_view argument, std::string_view name, std::string& value) {
  if (argument.substr(0, name.size()) != name) return false;
  value = argument.substr(name.size());
  return true;
}

int to_number(const std::string& text) {
  char* end = nullptr;
  long number = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || number < 0 || number > 1000000) usage();
  return static_cast<int>(number);
}

OPTIONS parse_options(int argc, char** argv) {
  OPTIONS options;
  for (int i = 1; i < argc; ++i) {
    std::string value;
    if (take_value(argv[i], "--helper_index=", value))
      options.helper_index = to_number(value);
    else if (take_value(argv[i], "--read_pipe=", value))
      options.read_pipe = value;
    else if (take_value(argv[i], "--write_pipe=", value))
      options.write_pipe = value;
    else if (take_value(argv[i], "--work_ms=", value))
      options.work_ms = to_number(value);
    else if (take_value(argv[i], "--result_dir=", value))
      options.result_dir = value;
    else
      usage();
  }
  if (options.helper_index < 0 || options.read_pipe.empty() || options.write_pipe.empty()) usage();
  return options;
}

// True when text is the first part of literal (so more bytes may still complete it).
bool may_become(std::string_view text, std::string_view literal) {
  return text.size() < literal.size() && literal.substr(0, text.size()) == text;
}

struct MESSAGE {
  bool finished;  // "Finished all partitions"; otherwise an order for partition
  int partition;
};

enum class SCAN { COMPLETE, INCOMPLETE, MALFORMED };

// Looks for an order at the front of pending: "Partition " digits " is ready".
SCAN scan_order(std::string_view pending, MESSAGE& message, size_t& length) {
  if (pending.substr(0, ORDER_HEAD.size()) != ORDER_HEAD)
    return may_become(pending, ORDER_HEAD) ? SCAN::INCOMPLETE : SCAN::MALFORMED;
  size_t digits_end = pending.find_first_not_of("0123456789", ORDER_HEAD.size());
  if (digits_end == std::string_view::npos) return SCAN::INCOMPLETE;
  if (digits_end == ORDER_HEAD.size()) return SCAN::MALFORMED;
  std::string_view rest = pending.substr(digits_end);
  if (rest.substr(0, ORDER_TAIL.size()) != ORDER_TAIL)
    return may_become(rest, ORDER_TAIL) ? SCAN::INCOMPLETE : SCAN::MALFORMED;
  std::string digits(pending.substr(ORDER_HEAD.size(), digits_end - ORDER_HEAD.size()));
  message = MESSAGE{false, std::atoi(digits.c_str())};
  length = digits_end + ORDER_TAIL.size();
  return SCAN::COMPLETE;
}

// Takes the first complete message off pending; nothing when more bytes are needed.
std::optional<MESSAGE> take_message(std::string& pending) {
  if (pending.compare(0, FINISHED.size(), FINISHED) == 0) {
    pending.erase(0, FINISHED.size());
    return MESSAGE{true, -1};
  }
  if (may_become(pending, FINISHED)) return std::nullopt;
  MESSAGE message{};
  size_t length = 0;
  switch (scan_order(pending, message, length)) {
    case SCAN::COMPLETE:
      pending.erase(0, length);
      return message;
    case SCAN::INCOMPLETE:
      return std::nullopt;
    case SCAN::MALFORMED:
      break;
  }
  std::fprintf(stderr, "pool_helper: unexpected message \"%s\"\n", pending.c_str());
  std::exit(1);
}

int open_fifo(const std::string& path, int mode) {
  int fd;
  do fd = ::open(path.c_str(), mode | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) fail(path.c_str());
  return fd;
}

// Appends what the next read brings; false once the dispatcher has closed its end.
bool read_more(int fd, std::string& pending) {
  char buffer[512];
  ssize_t count;
  do count = ::read(fd, buffer, sizeof buffer);
  while (count < 0 && errno == EINTR);
  if (count < 0) fail("reading orders");
  pending.append(buffer, static_cast<size_t>(count));
  return count > 0;
}

// False when the dispatcher is gone (its reading end closed).
bool send_report(int fd, int helper_index) {
  char report[64];
  int length = std::snprintf(report, sizeof report, "Helper %d is done", helper_index);
  for (int sent = 0; sent < length;) {
    ssize_t count = ::write(fd, report + sent, static_cast<size_t>(length - sent));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno == EPIPE) return false;
    if (count < 0) fail("writing a report");
    sent += static_cast<int>(count);
  }
  return true;
}

// Written under a temporary name and renamed, so a reader never sees half a result.
void write_result(const OPTIONS& options, int partition) {
  long sum = 0;
  for (long n = 100L * partition; n < 100L * partition + 100; ++n) sum += n;
  std::string path = options.result_dir + "/partition_" + std::to_string(partition) + ".result";
  std::string temporary = path + ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) fail(temporary.c_str());
  std::fprintf(file, "%ld\n", sum);
  if (std::fclose(file) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0)
    fail(path.c_str());
}

void work_on(const OPTIONS& options, int partition) {
  ::usleep(static_cast<useconds_t>(options.work_ms) * 1000);
  if (!options.result_dir.empty()) write_result(options, partition);
  std::printf("helper %d: partition %d done\n", options.helper_index, partition);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  OPTIONS options = parse_options(argc, argv);
  // A dispatcher that has gone shows up as EPIPE on the report, not as a fatal signal.
  std::signal(SIGPIPE, SIG_IGN);

  // The dispatcher connects its writing end first, then its reading end: open in that order.
  int orders = open_fifo(options.read_pipe, O_RDONLY);
  int reports = open_fifo(options.write_pipe, O_WRONLY);

  std::string pending;
  while (read_more(orders, pending)) {
    while (std::optional<MESSAGE> message = take_message(pending)) {
      if (message->finished) return 0;
      work_on(options, message->partition);
      if (!send_report(reports, options.helper_index)) return 0;
    }
  }
  return 0;
}
