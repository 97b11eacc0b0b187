// Command lines for the process service, which splits them into words as sh does (quotes and
// backslashes, no expansion).
#pragma once

#include <string>
#include <vector>

// True when the splitter passes word through unchanged: it is not empty and holds only letters,
// digits and "_@%+=:,./-".
bool shell_is_plain_word(const std::string& word);

// The words as one command line that the splitter turns back into the same words: each word
// single-quoted only when it holds a character the splitter would act on.
std::string shell_join_words(const std::vector<std::string>& words);

// The command line that runs text as sh -c text does, through the splitter and through the
// system shell alike. Its words are separated by tabs, so its first space is text's own: the
// library puts a named pipe's argument there, right after text's first word, as without a shell.
std::string shell_command_line(const std::string& text);
