// What a start is asked for beyond the program: the command line cut into words, and the process
// option's working directory and environment.
#pragma once

#include <glib.h>

#include <memory>
#include <string>
#include <vector>

#include "host/posix/unique_fd.h"
#include "host/thr_process.h"

using WORDS = std::unique_ptr<gchar*, decltype(&g_strfreev)>;

// Splits command_line like a POSIX shell (quotes and backslashes, no expansion); an error naming
// the splitter's reason when it cannot.
std::unique_ptr<THR_ERROR> split_words(const std::string& command_line, WORDS* words);

// What the process option asks for.
struct PROCESS_SETTINGS {
  std::string directory;
  std::vector<std::string> environment;  // NAME=VALUE, later ones win
};

// Words split like a command line, each "cwd=DIR" or "env=NAME=VALUE"; false for anything else.
bool parse_option(const std::string& option, PROCESS_SETTINGS* settings);

// Our environment with the overrides applied; the strings live as long as the result.
std::vector<std::string> child_environment(const std::vector<std::string>& overrides);

// Opens directory for the child's fchdir (nothing when empty); 0, or the errno that tells a
// directory that cannot be used apart from a program that cannot run.
int open_directory(const std::string& directory, UNIQUE_FD* fd);
