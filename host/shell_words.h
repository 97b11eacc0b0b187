// Command lines for the process service, which splits them into words as sh does (quotes and
// backslashes, no expansion).
#pragma once

#include <string>
#include <vector>

// True when the splitter passes word through unchanged: it is not empty and holds only letters,
// digits and "_@%+=:,./-".
bool thr_is_plain_shell_word(const std::string& word);

// The words as one command line that the splitter turns back into the same words: each word
// single-quoted only when it holds a character the splitter would act on.
std::string thr_join_shell_words(const std::vector<std::string>& words);

// The text escaped to stand between double quotes, as a command line wrapped in sh -c "...".
std::string thr_escape_for_double_quotes(const std::string& text);
