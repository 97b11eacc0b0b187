// The child output line protocol: lines gathered into Tcl commands and evaluated in the host's
// interpreter, or, in plain mode, posted as information messages.
#include <tcl.h>

#include <cstring>
#include <memory>
#include <string>

#include "host/msg.h"
#include "host/ztcl.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"
#include "ipc/ipc_msgs.h"
#include "trace/msg_vdebug.h"

namespace {

// An incomplete command may wait for more lines only up to this size.
constexpr size_t TCL_BUFFER_LIMIT = 1000000;

constexpr const char* PROMPT = "tcl> ";
constexpr const char* PROMPT_ECHO_COMMAND = "msg_tcl_puts ";
// Accepted as a first word even when the interpreter lacks it: children print debug lines so.
constexpr const char* DEBUG_WORD = "Debug:";

constexpr const char* STRAY_OUTPUT_ADVICE =
    "Ooops! Someone is probably incorrectly writing directly to cout/stdout. "
    "Run the offending executable directly with --ipc_mode and debug_msg=on and look for "
    "suspect output. "
    "Never write directly to cout. Use msg to post a message instead. "
    "Here is the last bit of output: ";

// Empties the buffer, giving back the storage an outsized command made it take.
void reset(std::string& buffer) {
  if (buffer.capacity() > TCL_BUFFER_LIMIT)
    std::string().swap(buffer);
  else
    buffer.clear();
}

bool starts_with(const std::string& line, const std::string& prefix) {
  return std::strncmp(line.c_str(), prefix.c_str(), prefix.size()) == 0;
}

// Tcl and the message system see the text only up to its first zero byte.
void evaluate(const std::string& script) {
  if (std::memchr(script.data(), '\0', script.size()) == nullptr)
    ztcl_post(script, false, nullptr);
  else
    ztcl_post(std::string(script.c_str()), false, nullptr);
}

std::string first_word(const std::string& buffer) {
  const char* text = buffer.c_str();
  return std::string(text, std::strcspn(text, " "));
}

bool interpreter_knows(const std::string& word) {
  Tcl_Interp* interpreter = ztcl_get_interpreter();
  if (interpreter == nullptr) return true;
  if (Tcl_FindCommand(interpreter, word.c_str(), nullptr, TCL_GLOBAL_ONLY) != nullptr) return true;
  return word == DEBUG_WORD;
}

void report_stray_output(const std::string& word, const std::string& buffer) {
  ipc_debug_printf("Tcl command {%s} not found, NOT posting tcl buffer = %s", word, buffer);
  ipc_debug_text(STRAY_OUTPUT_ADVICE + buffer);
}

}  // namespace

bool ipc_line_keeps_command_incomplete(const std::string& incomplete, const std::string& line) {
  // A command is incomplete only inside an open brace, quote, bracket or array index, and only
  // these end one; a backslash-newline joins the lines but ends nothing.
  constexpr const char* CLOSERS = "}]\")";
  return !incomplete.empty() && line.find_first_of(CLOSERS) == std::string::npos;
}

namespace {

// Judges a complete command by its first word: evaluated when the interpreter offers it, else
// reported as stray output.
void judge_and_evaluate(IPC_COMMAND::IMPL& impl, const std::string& command) {
  if (command.empty()) return;
  const std::string word = first_word(command);
  auto cached = impl.m_tcl_command_cache.find(word);
  if (cached == impl.m_tcl_command_cache.end())
    cached = impl.m_tcl_command_cache.emplace(word, interpreter_knows(word)).first;
  if (cached->second)
    evaluate(command);
  else
    report_stray_output(word, command);
}

}  // namespace

void IPC_COMMAND::process_line(const std::string& line) {
  IMPL& impl = *m_impl;
  if (!impl.m_tcl_mode) {
    std::unique_ptr<MSG_I> message(MSG_IPC::I::COMMAND_INFO(line));
    message->post();
    return;
  }

  std::string& buffer = impl.m_tcl_buffer;
  const bool rewritten = m_msg_report != nullptr && (starts_with(line, ipc_full_post_cmd) ||
                                                     starts_with(line, ipc_full_ie_cmd));
  // A line that is a whole command by itself is judged where it lies, without a copy: the common
  // line, and an outsized one, cost no more than their reading.
  if (buffer.empty() && !rewritten && line != PROMPT && Tcl_CommandComplete(line.c_str()) == 1) {
    judge_and_evaluate(impl, line);
    return;
  }

  // A command gathered over many lines is not parsed again from its start after each of them.
  const bool stays_incomplete = ipc_line_keeps_command_incomplete(buffer, line);
  if (!buffer.empty()) {
    buffer += '\n';
    buffer += line;
  } else if (m_msg_report != nullptr && starts_with(line, ipc_full_post_cmd)) {
    buffer.append(msg_tcl_post_cmd).append(" ").append(m_msg_report_text).append(" ");
    buffer.append(line, ipc_full_post_cmd.size(), std::string::npos);
  } else if (m_msg_report != nullptr && starts_with(line, ipc_full_ie_cmd)) {
    buffer.append(msg_tcl_ie_cmd).append(" ").append(m_msg_report_text).append(" ");
    buffer.append(line, ipc_full_ie_cmd.size(), std::string::npos);
  } else {
    buffer = line;
  }

  if (buffer == PROMPT) {
    buffer.insert(0, PROMPT_ECHO_COMMAND);
    evaluate(buffer);
    reset(buffer);
    return;
  }

  if (stays_incomplete || Tcl_CommandComplete(buffer.c_str()) != 1) {
    if (buffer.size() > TCL_BUFFER_LIMIT) {
      reset(buffer);
      ipc_debug_text("Warning: IPC_COMMAND line buffer exceeded 1MB and will now reset");
    }
    return;
  }
  judge_and_evaluate(impl, buffer);
  reset(buffer);
}
