// What a start is asked for beyond the program: its words, working directory and environment.
#include "host/posix/process_option.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "host/posix/posix_io.h"
#include "host/posix/start_errors.h"

extern char** environ;

namespace {

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool parse_option_word(const std::string& word, PROCESS_SETTINGS* settings) {
  if (starts_with(word, "cwd=") && word.size() > 4) {
    settings->directory = word.substr(4);
    return true;
  }
  if (starts_with(word, "env=") && word.size() > 4 && word[4] != '=' &&
      word.find('=', 4) != std::string::npos) {
    settings->environment.push_back(word.substr(4));
    return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<THR_ERROR> split_words(const std::string& command_line, WORDS* words) {
  gchar** argv = nullptr;
  GError* error = nullptr;
  if (g_shell_parse_argv(command_line.c_str(), nullptr, &argv, &error)) {
    words->reset(argv);
    return nullptr;
  }
  std::string reason = error != nullptr ? error->message : "unknown reason";
  g_clear_error(&error);
  return std::make_unique<COMMAND_LINE_ERROR>(command_line, reason);
}

bool parse_option(const std::string& option, PROCESS_SETTINGS* settings) {
  if (option.find_first_not_of(" \t\n") == std::string::npos) return true;
  gchar** argv = nullptr;
  if (!g_shell_parse_argv(option.c_str(), nullptr, &argv, nullptr)) return false;
  WORDS words(argv, g_strfreev);
  for (gchar** word = argv; *word != nullptr; ++word)
    if (!parse_option_word(*word, settings)) return false;
  return true;
}

std::vector<std::string> child_environment(const std::vector<std::string>& overrides) {
  std::map<std::string, std::string> variables;
  std::vector<std::string> order;
  auto put = [&](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('='));
    if (variables.count(name) == 0) order.push_back(name);
    variables[name] = entry;
  };
  for (char** entry = environ; *entry != nullptr; ++entry) put(*entry);
  for (const std::string& entry : overrides) put(entry);
  std::vector<std::string> result;
  for (const std::string& name : order) result.push_back(variables[name]);
  return result;
}

int open_directory(const std::string& directory, UNIQUE_FD* fd) {
  if (directory.empty()) return 0;
  fd->reset(
      retry_on_eintr([&] { return ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
  if (!*fd) return errno;
  if (::access(directory.c_str(), X_OK) != 0) return errno;
  return 0;
}
