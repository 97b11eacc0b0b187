#include "tools/ipc_run/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace {

constexpr const char* USAGE =
    "usage: ipc_run [OPTIONS] [--] COMMAND [ARG...]\n"
    "       ipc_run [OPTIONS] -c COMMAND-LINE\n"
    "Try 'ipc_run --help' for more information.\n";

constexpr const char* HELP_BODY =
    R"(Runs COMMAND as a backend child process and relays what it says: each line it
writes on standard output or standard error is a Tcl command evaluated in
ipc_run's interpreter (msg_post, msg_internal_error, msg_tcl_puts, Debug:,
ipc_send), and any other line is shown as information.

Options:
  -c, --command-line TEXT  run TEXT as the command line, verbatim
      --title TEXT         name of the child in messages (default: first word)
      --shell              run the command line through sh -c "..."
      --named-pipe         give the child a named pipe (--pipe_name=PATH)
      --option TEXT        process option, e.g. cwd=DIR
      --plain              every line is plain text, no Tcl
      --no-stderr          leave the child's standard error alone
      --no-gui             do not serve the interpreter's events during the run
      --report             record the messages and list them after the run
      --set KEY=VALUE      set a configuration value (repeatable), e.g.
                           ipc_use_system=1, ipc_buffer_size=N, ipc_sleep=MS,
                           thr_named_pipe_connect_timeout=MS
      --debug              show the library's debug output (module IPC, level 2)
      --suppress ID        suppress information or warning ID (repeatable)
      --eval SCRIPT        evaluate Tcl SCRIPT before the run (repeatable)
      --stdin              forward standard input to the child
      --pool H:P           dispatch P partitions to H helpers over named pipes
      --helper CMD         helper command; each gets --helper_index=I
                           --read_pipe=TO --write_pipe=FROM appended
      --summary            print ok, raw status and exit code on standard error
  -h, --help               show this help
      --version            show the version

Exit status: the child's exit code; 125 when the run failed or ipc_run hit an
error; 130 after Ctrl-C; 2 for a usage error.
)";

// Characters a POSIX word splitter passes through unchanged outside quotes.
bool is_plain_word_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("_@%+=:,./-", c) != nullptr;
}

std::string quote_word(const std::string& word) {
  bool plain = !word.empty();
  for (char c : word) plain = plain && is_plain_word_character(c);
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string escape_for_double_quotes(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

bool parse_int(const std::string& text, long low, long high, long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  *value = std::strtol(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && *value >= low && *value <= high;
}

class PARSER {
 public:
  PARSER(int argc, const char* const* argv) : m_argc(argc), m_argv(argv) {}

  PARSE_RESULT parse() {
    std::vector<std::string> words;
    bool have_command_line = false;
    int i = 1;
    for (; i < m_argc; ++i) {
      std::string argument = m_argv[i];
      if (argument == "--") {
        ++i;
        break;
      }
      if (argument.size() < 2 || argument[0] != '-') break;
      if (argument == "-h" || argument == "--help") return outcome(PARSE_OUTCOME::HELP);
      if (argument == "--version") return outcome(PARSE_OUTCOME::VERSION);
      std::string name = argument;
      std::optional<std::string> inline_value;
      size_t equals = argument.find('=');
      if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
        name = argument.substr(0, equals);
        inline_value = argument.substr(equals + 1);
      }
      if (!apply(name, inline_value, i, have_command_line)) return m_result;
    }
    for (; i < m_argc; ++i) words.emplace_back(m_argv[i]);

    if (have_command_line && !words.empty())
      return error("give either -c COMMAND-LINE or COMMAND [ARG...], not both");
    if (!have_command_line && words.empty()) return error("no command given");
    if (!have_command_line) {
      m_result.options.command_line = join_shell_words(words);
      // The library puts the line between double quotes as it is; escaping what is special
      // there makes sh receive exactly the joined words.
      if (m_result.options.wrap_in_shell)
        m_result.options.command_line = escape_for_double_quotes(m_result.options.command_line);
    }
    // The library inserts the pipe's name at the first blank, so there must be one.
    if (m_result.options.use_named_pipe &&
        m_result.options.command_line.find(' ') == std::string::npos)
      return error(
          "--named-pipe needs a command with at least one argument: the pipe's name "
          "is passed right after the program");
    if (m_result.options.pool) m_result.options.pool->helper_command = m_pending_helper;
    if (m_result.options.pool && m_pending_helper.empty())
      return error("--pool needs --helper CMD");
    if (!m_result.options.pool && !m_pending_helper.empty())
      return error("--helper needs --pool H:P");
    return outcome(PARSE_OUTCOME::RUN);
  }

 private:
  PARSE_RESULT outcome(PARSE_OUTCOME what) {
    m_result.outcome = what;
    return m_result;
  }

  PARSE_RESULT error(const std::string& text) {
    m_result.outcome = PARSE_OUTCOME::USAGE_ERROR;
    m_result.error = text;
    return m_result;
  }

  bool fail(const std::string& text) {
    error(text);
    return false;
  }

  // The option's value: after '=' or the next argument.
  bool take_value(const std::string& name, const std::optional<std::string>& inline_value, int& i,
                  std::string* value) {
    if (inline_value) {
      *value = *inline_value;
      return true;
    }
    if (i + 1 >= m_argc) return fail("option " + name + " needs a value");
    *value = m_argv[++i];
    return true;
  }

  bool apply(const std::string& name, const std::optional<std::string>& inline_value, int& i,
             bool& have_command_line) {
    OPTIONS& o = m_result.options;
    const std::map<std::string, bool*> flags = {
        {"--shell", &o.wrap_in_shell}, {"--named-pipe", &o.use_named_pipe},
        {"--plain", &o.plain},         {"--no-stderr", &o.no_stderr},
        {"--no-gui", &o.no_gui},       {"--report", &o.report},
        {"--debug", &o.debug},         {"--stdin", &o.forward_stdin},
        {"--summary", &o.summary}};
    auto flag = flags.find(name);
    if (flag != flags.end()) {
      if (inline_value) return fail("option " + name + " takes no value");
      *flag->second = true;
      return true;
    }
    const std::map<std::string, std::function<bool(const std::string&)>> valued = {
        {"-c", [&](const std::string& v) { return set_command_line(v, have_command_line); }},
        {"--command-line",
         [&](const std::string& v) { return set_command_line(v, have_command_line); }},
        {"--title", [&](const std::string& v) { return o.title = v, true; }},
        {"--option", [&](const std::string& v) { return o.process_option = v, true; }},
        {"--set", [&](const std::string& v) { return add_setting(v); }},
        {"--suppress", [&](const std::string& v) { return add_suppressed(v); }},
        {"--eval", [&](const std::string& v) { return o.scripts.push_back(v), true; }},
        {"--pool", [&](const std::string& v) { return set_pool(v); }},
        {"--helper", [&](const std::string& v) { return m_pending_helper = v, true; }}};
    auto option = valued.find(name);
    if (option == valued.end()) return fail("unknown option " + name);
    std::string value;
    return take_value(name, inline_value, i, &value) && option->second(value);
  }

  bool set_command_line(const std::string& text, bool& have_command_line) {
    if (text.empty()) return fail("the command line is empty");
    m_result.options.command_line = text;
    have_command_line = true;
    return true;
  }

  bool add_setting(const std::string& text) {
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
      return fail("--set needs KEY=VALUE, got \"" + text + "\"");
    m_result.options.settings.emplace_back(text.substr(0, equals), text.substr(equals + 1));
    return true;
  }

  bool add_suppressed(const std::string& text) {
    long id = 0;
    if (!parse_int(text, 1, 0xFFFFFFFFL, &id))
      return fail("--suppress needs a message id (a positive number), got \"" + text + "\"");
    m_result.options.suppressed_ids.push_back(static_cast<unsigned>(id));
    return true;
  }

  bool set_pool(const std::string& text) {
    size_t colon = text.find(':');
    long helpers = 0;
    long partitions = 0;
    if (colon == std::string::npos || !parse_int(text.substr(0, colon), 1, 64, &helpers) ||
        !parse_int(text.substr(colon + 1), 1, 1000000, &partitions))
      return fail("--pool needs H:P, 1 to 64 helpers and at least one partition, got \"" + text +
                  "\"");
    m_result.options.pool =
        POOL_OPTIONS{static_cast<int>(helpers), static_cast<int>(partitions), {}};
    return true;
  }

  int m_argc;
  const char* const* m_argv;
  PARSE_RESULT m_result;
  std::string m_pending_helper;
};

}  // namespace

PARSE_RESULT parse_options(int argc, const char* const* argv) { return PARSER(argc, argv).parse(); }

std::string join_shell_words(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += quote_word(word);
  }
  return line;
}

const char* short_usage() { return USAGE; }

std::string help_text() {
  return std::string(
             "usage: ipc_run [OPTIONS] [--] COMMAND [ARG...]\n"
             "       ipc_run [OPTIONS] -c COMMAND-LINE\n\n") +
         HELP_BODY;
}
