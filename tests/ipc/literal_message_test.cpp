// The relay's fast path against the library's general path over the real host layer: random and
// hostile lines give the same messages, stray reports, errors and leftovers through both.
#include "services/literal_message.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "host/ztcl.h"
#include "ipc/ipc_command.h"
#include "tests/support/host_environment.h"
#include "tests/support/recording_sink.h"

namespace {

// Everything a line leaves behind: posted records, stray and other library debug texts, the
// failures the Tcl bridge reported, and the text still gathering.
struct OUTCOME {
  std::vector<std::tuple<MSG_KIND, unsigned, std::string>> posted;
  std::vector<std::string> debug;
  std::vector<std::string> failures;
  std::string unfinished;
  bool operator==(const OUTCOME& other) const {
    return posted == other.posted && debug == other.debug && failures == other.failures &&
           unfinished == other.unfinished;
  }
};

class FAILURES : public ZTCL_ERROR_OBSERVER {
 public:
  void line_failed(const std::string& error, const std::string& script) override {
    seen.push_back(error + " | " + script);
  }
  std::vector<std::string> seen;
};

// The line through a fresh command: the fast path first when asked, else the library alone.
OUTCOME outcome_of(const std::string& line, bool fast, bool* taken) {
  CAPTURED_MESSAGES captured;
  FAILURES failures;
  ZTCL_ERROR_OBSERVER* previous = ztcl_set_error_observer(&failures);
  IPC_COMMAND command;
  *taken = fast && host_post_literal_message(line, nullptr);
  if (!*taken) command.process_line(line);
  ztcl_set_error_observer(previous);
  OUTCOME outcome{{}, captured.debug.texts(), failures.seen, command.unfinished_command()};
  for (const MSG_RECORD& record : captured.posted.records)
    outcome.posted.emplace_back(record.kind, record.id, record.text);
  return outcome;
}

std::string pick(std::mt19937& random, const std::vector<std::string>& choices) {
  return choices[random() % choices.size()];
}

// Half the lines are msg_post calls of the usual shape, each slot mostly valid; the rest are
// words thrown together. Hostile pieces everywhere: substitutions, braces, quotes, comments,
// separators, escapes, invalid UTF-8, Tcl's zero byte, a real zero byte.
std::string random_line(std::mt19937& random) {
  static const std::vector<std::string> heads = {"msg_post",           "msg_post", "Msg_post",
                                                 "msg_internal_error", "set",      "{msg_post}"};
  static const std::vector<std::string> reports = {"0",   "0",  "0",   "0", "0",
                                                   "{0}", "00", "0x0", "$r"};
  static const std::vector<std::string> severities = {
      "info", "I", "warning", "w", "E", "error", "Info", "bogus", "{info}", "\x69nfo"};
  static const std::vector<std::string> ids = {
      "7", "12345", "007", "0x1F", "-3", "4294967295", "4294967296", "+5", "1e3", "{9}", "0", "08"};
  static const std::vector<std::string> texts = {"x",
                                                 "{a b}",
                                                 "\"q r\"",
                                                 "{$x}",
                                                 "$x",
                                                 "[now]",
                                                 "{[now]}",
                                                 "\\{",
                                                 "{",
                                                 "}",
                                                 "a;",
                                                 "{a} b",
                                                 "a\\nb",
                                                 "{a\\\nb}",
                                                 "\"a\\\"b\"",
                                                 "{a}{b}",
                                                 "{\xC0\x80}",
                                                 "\xFF\xFE",
                                                 "{\xE2\x82\xAC}",
                                                 "{}",
                                                 "\"\"",
                                                 "{# not}",
                                                 "a # b",
                                                 "{a\tb}",
                                                 "{ lead}",
                                                 "x ; set y 1"};
  std::string line;
  if (random() % 2 == 0) {
    line = pick(random, heads) + " " + pick(random, reports) + " " + pick(random, severities);
    if (random() % 3 == 0) line += " " + pick(random, ids);
    line += (random() % 10 == 0 ? "\t" : " ") + pick(random, texts);
    if (random() % 10 == 0)
      line += pick(random, {" ", " ;", " # c", "\\", " extra", "; msg_post 0 info two"});
  } else {
    line = pick(random, heads);
    for (int count = 1 + random() % 5; count > 0; --count)
      line += " " + pick(random, random() % 2 == 0 ? texts : severities);
  }
  if (random() % 50 == 0) line.insert(random() % line.size(), 1, '\0');
  return line;
}

TEST(LiteralMessage, EveryLineEndsAsTheGeneralPathEndsIt) {
  std::mt19937 random(20261207);
  int taken_count = 0;
  constexpr int LINES = 100000;
  for (int i = 0; i < LINES; ++i) {
    const std::string line = random_line(random);
    bool taken = false, general_taken = false;
    const OUTCOME fast = outcome_of(line, true, &taken);
    const OUTCOME general = outcome_of(line, false, &general_taken);
    taken_count += taken;
    ASSERT_TRUE(fast == general) << "line: " << line << (taken ? " (fast path)" : "");
  }
  // The comparison means something only when the fast path serves a fair share of the lines.
  EXPECT_GT(taken_count, LINES / 40);
}

}  // namespace
