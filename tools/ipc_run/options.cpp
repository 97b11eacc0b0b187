// The command line of ipc_run: what the user asked for, or why it cannot be understood.
#include "tools/ipc_run/options.h"

#include <getopt.h>
#include <glib.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "host/cfg.h"
#include "host/settings.h"
#include "ipc/ipc_command.h"
#include "services/shell_words.h"
#include "tools/ipc_run/option_table.h"
#include "tools/ipc_run/option_values.h"

namespace {

class PARSER {
 public:
  PARSE_RESULT parse(int argc, const char* const* argv) {
    // getopt_long names the program by argv[0] in its messages; ours all start "ipc_run:".
    std::vector<std::string> words(argv, argv + argc);
    std::vector<char*> arguments{const_cast<char*>("ipc_run")};
    for (int i = 1; i < argc; ++i) arguments.push_back(words[i].data());
    arguments.push_back(nullptr);
    optind = 0;  // also resets getopt's state
    opterr = 1;
    for (;;) {
      int code = getopt_long(argc, arguments.data(), SHORT_OPTIONS, LONG_OPTIONS, nullptr);
      if (code == -1) break;
      if (code == 'h') return outcome(PARSE_OUTCOME::HELP);
      if (code == VERSION) return outcome(PARSE_OUTCOME::VERSION);
      if (code == '?' || code == ':') return error("");
      if (!apply(code, optarg != nullptr ? optarg : "")) return m_result;
    }
    return finish(std::vector<std::string>(words.begin() + optind, words.end()));
  }

 private:
  PARSE_RESULT finish(const std::vector<std::string>& words) {
    OPTIONS& o = m_result.options;
    if (m_have_command_line && !words.empty())
      return error("give either -c COMMAND-LINE or COMMAND [ARG...], not both");
    if (!m_have_command_line && words.empty()) return error("no command given");
    if (!m_have_command_line) o.command_line = shell_join_words(words);
    // Wrapped here, not by the library, whose sh -c "..." takes the text unescaped and gets the
    // pipe's name after "sh"; the title stays the text's first word.
    if (o.wrap_in_shell) {
      o.title = IPC_COMMAND::title_of(o.command_line, o.title);
      o.command_line = shell_command_line(o.command_line);
      o.wrap_in_shell = false;
    }
    // The library inserts the pipe's name at the first blank, so there must be one.
    if (o.use_named_pipe && o.command_line.find(' ') == std::string::npos)
      return error(
          "--named-pipe needs a command with at least one argument: the pipe's name "
          "is passed right after the program");
    if (o.report && o.plain)
      return error(
          "--report lists the messages a backend posts with msg_post; with --plain it posts "
          "none (every line is shown as it comes)");
    if (o.pool) {
      const int helpers = o.pool->helper_count, partitions = o.pool->partition_count;
      o.pool = m_remote;
      o.pool->helper_count = helpers;
      o.pool->partition_count = partitions;
      o.pool->helper_command = m_pending_helper;
    }
    if (const std::string why = o.pool ? pool_launcher_error(o.pool->launcher) : ""; !why.empty())
      return error("--launcher " + why);
    if (!o.pool && m_remote_given)
      return error(
          "--launcher, --remote-relay, --attempts, --heartbeat and --start-timeout "
          "need --pool H:P");
    if (o.pool && m_pending_helper.empty()) return error("--pool needs --helper CMD");
    if (!o.pool && !m_pending_helper.empty()) return error("--helper needs --pool H:P");
    if (uses_system_shell() && (o.timeout_seconds > 0 || !full_process_option(o).empty()))
      return error(
          "--timeout, --cwd, --env and --option cannot reach a child run through the system "
          "shell (ipc_use_system)");
    return outcome(PARSE_OUTCOME::RUN);
  }

  bool uses_system_shell() const {
    for (const auto& [key, value] : m_result.options.settings)
      if (key == SETTING_USE_SYSTEM.name) return cfg_text_is_on(value);
    return false;
  }

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

  bool apply(int code, const std::string& value) {
    OPTIONS& o = m_result.options;
    switch (code) {
      case 'c':
        return set_command_line(value);
      case 'q':
        return o.quiet = true;
      case TITLE:
        return o.title = value, true;
      case SHELL:
        return o.wrap_in_shell = true;
      case CWD:
        return set_directory(value);
      case ENV:
        return add_environment(value);
      case PROCESS_OPTION:
        return o.process_option = value, true;
      case TIMEOUT:
        return set_timeout(value);
      case NAMED_PIPE:
        return o.use_named_pipe = true;
      case PLAIN:
        return o.plain = true;
      case NO_STDERR:
        return o.no_stderr = true;
      case NO_GUI:
        return o.no_gui = true;
      case REPORT:
        return o.report = true;
      case SET:
        return add_setting(value);
      case TRUSTED:
        return o.trusted = true;
      case EXPOSE:
        return add_exposed(value);
      case EVAL:
        return o.scripts.push_back(value), true;
      case STDIN:
        return o.forward_stdin = true;
      case POOL:
        return set_pool(value);
      case HELPER:
        return m_pending_helper = value, true;
      case LAUNCHER:
        return m_remote.launcher = value, m_remote_given = true;
      case REMOTE_RELAY:
        return m_remote.remote_relay = value, m_remote_given = true;
      case ATTEMPTS:
        return set_attempts(value);
      case HEARTBEAT:
        return set_pool_duration("--heartbeat", value, &m_remote.heartbeat_seconds);
      case START_TIMEOUT:
        return set_pool_duration("--start-timeout", value, &m_remote.start_timeout_seconds);
      case SUPPRESS:
        return add_suppressed(value);
      case DEBUG:
        return o.debug = true;
      case COLOR:
        return set_color(value);
      case SUMMARY:
        return o.summary = true;
      case STRICT:
        return o.strict = true;
      default:
        return fail("unhandled option");
    }
  }

  bool set_command_line(const std::string& text) {
    if (text.empty()) return fail("the command line is empty");
    m_result.options.command_line = text;
    m_have_command_line = true;
    return true;
  }

  bool set_directory(const std::string& text) {
    if (text.empty()) return fail("--cwd needs a directory");
    m_result.options.directory = text;
    return true;
  }

  bool add_environment(const std::string& text) {
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
      return fail("--env needs NAME=VALUE, got \"" + text + "\"");
    m_result.options.environment.push_back(text);
    return true;
  }

  bool set_timeout(const std::string& text) {
    if (!parse_duration(text, &m_result.options.timeout_seconds))
      return fail("--timeout needs a duration in seconds, e.g. 10, 1.5 or 2m, got \"" + text +
                  "\"");
    return true;
  }

  bool add_setting(const std::string& text) {
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
      return fail("--set needs KEY=VALUE, got \"" + text + "\"");
    const std::string key = text.substr(0, equals);
    const std::string value = text.substr(equals + 1);
    for (const SETTING* known : SETTINGS) {
      if (key != known->name) continue;
      if (!valid_value(*known, value))
        return fail("--set " + key + " needs " +
                    (known->kind == SETTING_KIND::FLAG ? "0 or 1"
                     : known->minimum > 0              ? "a positive number"
                                                       : "a number of 0 or more") +
                    ", got \"" + value + "\"");
      m_result.options.settings.emplace_back(key, value);
      return true;
    }
    return fail("--set: unknown key \"" + key + "\"; known keys: " + key_list());
  }

  bool add_exposed(const std::string& text) {
    if (text.empty()) return fail("--expose needs a command name");
    m_result.options.exposed_commands.push_back(text);
    return true;
  }

  bool add_suppressed(const std::string& text) {
    long id = 0;
    if (!parse_int(text, 1, 0xFFFFFFFFL, &id))
      return fail("--suppress needs a message id (a positive number), got \"" + text + "\"");
    m_result.options.suppressed_ids.push_back(static_cast<unsigned>(id));
    return true;
  }

  bool set_color(const std::string& text) {
    COLOR_CHOICE& color = m_result.options.color;
    if (text.empty() || text == "always" || text == "yes" || text == "force")
      color = COLOR_CHOICE::ALWAYS;
    else if (text == "auto" || text == "tty" || text == "if-tty")
      color = COLOR_CHOICE::AUTO;
    else if (text == "never" || text == "no" || text == "none")
      color = COLOR_CHOICE::NEVER;
    else
      return fail("--color takes auto, always or never, got \"" + text + "\"");
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
    m_result.options.pool = HELPER_POOL_OPTIONS{};
    m_result.options.pool->helper_count = static_cast<int>(helpers);
    m_result.options.pool->partition_count = static_cast<int>(partitions);
    return true;
  }

  bool set_attempts(const std::string& text) {
    long attempts = 0;
    m_remote_given = true;
    if (!parse_int(text, 1, 100, &attempts))
      return fail("--attempts needs 1 to 100, got \"" + text + "\"");
    m_remote.attempts = static_cast<int>(attempts);
    return true;
  }

  bool set_pool_duration(const char* name, const std::string& text, double* seconds) {
    m_remote_given = true;
    if (!parse_duration(text, seconds) || *seconds <= 0)
      return fail(std::string(name) + " needs a duration above zero, got \"" + text + "\"");
    return true;
  }

  PARSE_RESULT m_result;
  bool m_have_command_line = false;
  std::string m_pending_helper;
  HELPER_POOL_OPTIONS m_remote;  // where the helpers run and how lost ones are replaced
  bool m_remote_given = false;
};

}  // namespace

PARSE_RESULT parse_options(int argc, const char* const* argv) { return PARSER().parse(argc, argv); }

std::string full_process_option(const OPTIONS& options) {
  std::vector<std::string> words;
  if (!options.directory.empty()) words.push_back("cwd=" + options.directory);
  for (const std::string& variable : options.environment) words.push_back("env=" + variable);
  std::string option = options.process_option;
  const std::string added = shell_join_words(words);
  if (!option.empty() && !added.empty()) option += ' ';
  return option + added;
}
