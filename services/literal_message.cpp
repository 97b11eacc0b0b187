// The relay's fast path: a literal message line posted without a general Tcl evaluation.
#include "services/literal_message.h"

#include <tcl.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string_view>

#include "host/common/host_internal.h"
#include "host/common/msg_internal.h"
#include "host/common/tcl_text.h"
#include "host/ztcl.h"
#include "services/stray_output.h"

namespace {

constexpr std::string_view COMMAND = "msg_post ";
// The start the library rewrites to name the run's report when one is attached.
constexpr std::string_view TO_RUN_REPORT = "msg_post 0 ";

// Frees a Tcl_Parse filled by Tcl_ParseCommand.
struct PARSE_OWNER {
  Tcl_Parse parse;
  bool filled = false;
  ~PARSE_OWNER() {
    if (filled) Tcl_FreeParse(&parse);
  }
};

// The text of a word with no substitution in it, or false.
bool literal_word(const Tcl_Token* word, std::string_view* text) {
  if (word->type != TCL_TOKEN_SIMPLE_WORD || word->numComponents != 1) return false;
  const Tcl_Token& part = word[1];
  if (part.type != TCL_TOKEN_TEXT) return false;
  *text = std::string_view(part.start, static_cast<size_t>(part.size));
  return true;
}

// Only an id Tcl would read the same way: decimal digits without a leading zero (which Tcl takes
// as octal), within 32 bits.
bool plain_id(std::string_view text, unsigned* id) {
  if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) return false;
  unsigned long long value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 0xFFFFFFFFull) return false;
  *id = static_cast<unsigned>(value);
  return true;
}

bool only_blanks(const char* from, const char* end) {
  for (; from != end; ++from)
    if (!std::isspace(static_cast<unsigned char>(*from))) return false;
  return true;
}

// The words of line when it is one command of literal words only.
bool literal_words(const std::string& line, std::string_view words[5], int* count) {
  PARSE_OWNER owner;
  const char* const end = line.data() + line.size();
  if (Tcl_ParseCommand(nullptr, line.data(), static_cast<int>(line.size()), 0, &owner.parse) !=
      TCL_OK)
    return false;
  owner.filled = true;
  const Tcl_Parse& parse = owner.parse;
  if (parse.commentSize != 0 || parse.incomplete || parse.numWords < 4 || parse.numWords > 5 ||
      !only_blanks(parse.commandStart + parse.commandSize, end))
    return false;
  const Tcl_Token* token = parse.tokenPtr;
  for (int i = 0; i < parse.numWords; ++i) {
    if (!literal_word(token, &words[i])) return false;
    token += token->numComponents + 1;
  }
  *count = parse.numWords;
  return true;
}

}  // namespace

bool host_post_literal_message(const std::string& line, MSG_REPORT* report) {
  if (line.compare(0, COMMAND.size(), COMMAND) != 0 ||
      std::memchr(line.data(), '\0', line.size()) != nullptr)
    return false;
  Tcl_Interp* interpreter = ztcl_get_interpreter();
  if (interpreter == nullptr || !host_offers_own_msg_post(interpreter)) return false;
  std::string_view words[5];
  int count = 0;
  MSG_KIND kind = MSG_KIND::ERROR;
  unsigned id = 0;
  if (!literal_words(line, words, &count) || words[0] != "msg_post" || words[1] != "0" ||
      !host_parse_severity(std::string(words[2]).c_str(), &kind) ||
      (count == 5 && !plain_id(words[3], &id)))
    return false;
  host_post_message_text(kind, id, host_text_of(words[count - 1]), report);
  return true;
}

bool host_take_line(const std::string& pending, const std::string& line, MSG_REPORT* run_report) {
  if (!pending.empty()) return false;
  MSG_REPORT* report =
      line.compare(0, TO_RUN_REPORT.size(), TO_RUN_REPORT) == 0 ? run_report : nullptr;
  return host_post_literal_message(line, report) || host_take_stray_line(pending, line);
}
