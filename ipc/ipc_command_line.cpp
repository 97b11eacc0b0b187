// The child's title and the exact command line it is launched with.
#include <cstring>

#include "ipc/ipc_command_impl.h"

namespace {
constexpr const char* SHELL_PREFIX = "sh -c \"";
constexpr const char* SHELL_SUFFIX = "\"";
constexpr const char* PIPE_ARGUMENT_PREFIX = " --pipe_name=";

std::string pipe_argument(const THR_NAMED_PIPE& pipe) {
  return PIPE_ARGUMENT_PREFIX +
         std::string(pipe.pipe_name, strnlen(pipe.pipe_name, sizeof pipe.pipe_name));
}
}  // namespace

std::string IPC_COMMAND::IMPL::make_title(const std::string& command, const std::string& title) {
  if (!title.empty()) return title;
  return command.substr(0, command.find(' '));
}

std::optional<std::string> IPC_COMMAND::IMPL::make_full_command_line(bool wrap_in_shell,
                                                                     const std::string& command,
                                                                     SCOPED_THR_NAMED_PIPE& pipe) {
  // The command goes to the shell exactly as the caller wrote it: no quoting, no escaping.
  std::string text = wrap_in_shell ? SHELL_PREFIX + command + SHELL_SUFFIX : command;
  if (pipe.named_pipe == nullptr) return text;
  bool created = pipe.named_pipe->create();
  // The argument follows the first word. With no blank there is no first word to follow, and
  // std::string::insert at npos raises std::out_of_range, which leaves the run unstarted.
  text.insert(text.find(' '), pipe_argument(*pipe.named_pipe));
  if (!created) return std::nullopt;
  return text;
}
