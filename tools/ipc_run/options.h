// The command line of ipc_run: what the user asked for, or why it cannot be understood.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "services/helper_pool.h"

enum class COLOR_CHOICE { AUTO, ALWAYS, NEVER };

struct OPTIONS {
  std::string command_line;
  std::string title;
  std::string process_option;            // --option TEXT as given
  std::string directory;                 // --cwd
  std::vector<std::string> environment;  // --env NAME=VALUE, in order
  double timeout_seconds = 0;            // 0: none
  bool wrap_in_shell = false;
  bool use_named_pipe = false;
  bool plain = false;
  bool no_stderr = false;
  bool no_gui = false;
  bool report = false;
  bool debug = false;
  bool quiet = false;
  bool forward_stdin = false;
  bool summary = false;
  bool trusted = false;
  bool strict = false;  // a failed or stray backend line makes the run fail (65)
  COLOR_CHOICE color = COLOR_CHOICE::AUTO;
  std::vector<std::pair<std::string, std::string>> settings;
  std::vector<unsigned> suppressed_ids;
  std::vector<std::string> scripts;
  std::vector<std::string> exposed_commands;
  std::optional<HELPER_POOL_OPTIONS> pool;
};

enum class PARSE_OUTCOME { RUN, HELP, VERSION, USAGE_ERROR };

struct PARSE_RESULT {
  PARSE_OUTCOME outcome = PARSE_OUTCOME::USAGE_ERROR;
  OPTIONS options;
  // For USAGE_ERROR: what was wrong; empty when getopt_long already said it on stderr.
  std::string error;
};

PARSE_RESULT parse_options(int argc, const char* const* argv);

// The process option the host is to get: --option's text, then --cwd and --env as quoted words.
std::string full_process_option(const OPTIONS& options);

// The one-line reminder shown with a usage error, and the full text of --help.
const char* short_usage();
std::string help_text();
