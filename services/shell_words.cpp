// Command lines as the process service splits them: joining words, and sh -c TEXT.
#include "services/shell_words.h"

#include <glib.h>

#include <cstring>
#include <memory>

namespace {

std::string quote_word(const std::string& word) {
  if (shell_is_plain_word(word)) return word;
  std::unique_ptr<gchar, decltype(&g_free)> quoted(g_shell_quote(word.c_str()), g_free);
  return quoted.get();
}

}  // namespace

bool shell_is_plain_word(const std::string& word) {
  if (word.empty()) return false;
  for (char c : word)
    if (!g_ascii_isalnum(c) && std::strchr("_@%+=:,./-", c) == nullptr) return false;
  return true;
}

std::string shell_join_words(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += quote_word(word);
  }
  return line;
}

std::string shell_command_line(const std::string& text) { return "sh\t-c\t" + quote_word(text); }
