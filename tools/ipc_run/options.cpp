#include "tools/ipc_run/options.h"

#include <getopt.h>
#include <glib.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "host/cfg.h"
#include "host/settings.h"
#include "ipc/ipc_command_impl.h"  // make_title
#include "services/shell_words.h"

namespace {

constexpr const char* USAGE_LINES =
    "usage: ipc_run [OPTIONS] [--] COMMAND [ARG...]\n"
    "       ipc_run [OPTIONS] -c COMMAND-LINE\n";

constexpr const char* HELP_BODY =
    R"(Runs COMMAND as a backend child process and relays what it says. Each line the
child writes on standard output or standard error is gathered into a complete
Tcl command and evaluated when its first word is a command ipc_run knows
(msg_post, msg_internal_error, msg_tcl_puts, Debug:, ipc_send, ipc_progress);
messages go to standard output. Any other text is the child's stray output,
shown on standard error as "ipc_run: stray output: TEXT" unless --quiet is
given. A line that starts an incomplete command whose first word is not such
a command (an unbalanced "Processing [file.v") is stray output at once; the
next line starts afresh. A line that fails in Tcl (a wrong argument count, a
"$" or "[" substituted by mistake) is shown on standard error as
"ipc_run: backend line failed: ERROR: LINE" unless --quiet is given.
"ipc_progress DONE TOTAL ?TEXT?" shows a progress line on standard error when
it is a terminal.

Options:
  -c, --command-line=TEXT  run TEXT as the command line, verbatim
      --title=TEXT         name of the child in messages (default: first word)
      --shell              run the command line as sh -c TEXT runs it
      --cwd=DIR            start the child in directory DIR
      --env=NAME=VALUE     set NAME in the child's environment (repeatable)
      --option=TEXT        process option words: cwd=DIR, env=NAME=VALUE
      --timeout=DURATION   stop the child after DURATION seconds (suffix s, m,
                           h or d; 0 for none) and exit with status 124
      --named-pipe         give the child a named pipe (--pipe_name=PATH)
      --plain              every line is plain text, no Tcl
      --no-stderr          leave the child's standard error alone
      --no-gui             do not serve the interpreter's events during the run
      --report             record the messages and list them after the run
      --set=KEY=VALUE      set a configuration value (repeatable); KEY is one of
@SETTINGS@      --trusted            evaluate the child's lines in ipc_run's own
                           interpreter instead of a safe one (tcl_trusted=1)
      --expose=NAME        let the child call the Tcl command NAME, e.g. one
                           defined by --eval (repeatable)
      --eval=SCRIPT        evaluate Tcl SCRIPT before the run (repeatable)
      --stdin              forward standard input to the child
      --pool=H:P           dispatch P partitions to H helpers over named pipes
      --helper=CMD         helper command; each gets --helper_index=I
                           --read_pipe=TO --write_pipe=FROM appended
      --launcher=L         where helpers run: local (default), ssh:HOST[,HOST...],
                           slurm, or a command prefix that runs a program
                           elsewhere with its standard input and output
      --remote-relay=PATH  ipc_relay on the remote side (default: the path of
                           the one beside ipc_run)
      --attempts=N         tries per partition before the run fails (3)
      --heartbeat=DURATION a remote helper silent this long is lost (5s)
      --start-timeout=DURATION
                           a remote helper not ready by then is lost (60s)
      --suppress=ID        suppress information or warning ID (repeatable)
      --strict             exit with status 65 when a line of the child failed
                           in Tcl or was stray output (unless the child's own
                           status is already non-zero)
  -q, --quiet              do not show the child's stray output or its failed
                           lines
      --debug              show the library's debug output (DEBUG IPC: ...)
                           and the child's Debug: lines (DEBUG CHILD: ...)
      --color[=WHEN]       colour messages by severity: auto (on a terminal,
                           the default), always (also without WHEN) or never
      --summary            print ok, raw status and exit code on standard error
  -h, --help               show this help
      --version            show the version

Long options may be abbreviated while unambiguous.

Exit status:
  CODE   the child's exit code, when it exited
  128+N  the child was killed by signal N
  124    --timeout expired and the child was stopped
  65     --strict and a line of the child failed or was stray output
  125    the run failed otherwise, or ipc_run itself failed (also when
         the messages could not be written to standard output)
  126    the program could not be executed
  127    the program was not found
  129    ipc_run got SIGHUP
  130    ipc_run got Ctrl-C (SIGINT)
  141    ipc_run's standard output was closed
  1      ipc_run got SIGTERM
  2      usage error
)";

std::string key_list() {
  std::string list;
  for (const SETTING* setting : SETTINGS)
    list += std::string(list.empty() ? "" : ", ") + setting->name;
  return list;
}

// "ipc_use_system=0|1, ipc_buffer_size=BYTES, ...", wrapped to the help's column.
std::string key_help() {
  constexpr size_t INDENT = 27, WIDTH = 79;
  std::string help, line(INDENT, ' ');
  for (const SETTING* setting : SETTINGS) {
    const std::string item = std::string(setting->name) + "=" +
                             (setting->kind == SETTING_KIND::FLAG ? "0|1" : setting->unit) +
                             (setting == SETTINGS[std::size(SETTINGS) - 1] ? "" : ",");
    if (line.size() + 1 + item.size() > WIDTH) {
      help += line + "\n";
      line = std::string(INDENT, ' ');
    }
    line += (line.size() > INDENT ? " " : "") + item;
  }
  return help + line + "\n";
}

bool parse_int(const std::string& text, long low, long high, long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  *value = std::strtol(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && *value >= low && *value <= high;
}

bool valid_value(const SETTING& setting, const std::string& value) {
  long number = 0;
  bool is_flag = false;
  if (setting.kind == SETTING_KIND::FLAG) return cfg_text_is_on(value, &is_flag), is_flag;
  return parse_int(value, setting.minimum, 0x7FFFFFFFL, &number);
}

// Seconds as timeout(1) takes them: a non-negative number with an optional unit s, m, h or d.
bool parse_duration(const std::string& text, double* seconds) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || !std::isfinite(value) || value < 0) return false;
  const std::string unit = end;
  if (unit == "" || unit == "s")
    *seconds = value;
  else if (unit == "m")
    *seconds = value * 60;
  else if (unit == "h")
    *seconds = value * 3600;
  else if (unit == "d")
    *seconds = value * 86400;
  else
    return false;
  return true;
}

// Codes getopt_long returns for options without a short name.
enum LONG_ONLY : int {
  TITLE = 256,
  SHELL,
  CWD,
  ENV,
  PROCESS_OPTION,
  TIMEOUT,
  NAMED_PIPE,
  PLAIN,
  NO_STDERR,
  NO_GUI,
  REPORT,
  SET,
  TRUSTED,
  EXPOSE,
  EVAL,
  STDIN,
  POOL,
  HELPER,
  LAUNCHER,
  REMOTE_RELAY,
  ATTEMPTS,
  HEARTBEAT,
  START_TIMEOUT,
  SUPPRESS,
  DEBUG,
  COLOR,
  SUMMARY,
  STRICT,
  VERSION,
};

constexpr option LONG_OPTIONS[] = {
    {"command-line", required_argument, nullptr, 'c'},
    {"title", required_argument, nullptr, TITLE},
    {"shell", no_argument, nullptr, SHELL},
    {"cwd", required_argument, nullptr, CWD},
    {"env", required_argument, nullptr, ENV},
    {"option", required_argument, nullptr, PROCESS_OPTION},
    {"timeout", required_argument, nullptr, TIMEOUT},
    {"named-pipe", no_argument, nullptr, NAMED_PIPE},
    {"plain", no_argument, nullptr, PLAIN},
    {"no-stderr", no_argument, nullptr, NO_STDERR},
    {"no-gui", no_argument, nullptr, NO_GUI},
    {"report", no_argument, nullptr, REPORT},
    {"set", required_argument, nullptr, SET},
    {"trusted", no_argument, nullptr, TRUSTED},
    {"expose", required_argument, nullptr, EXPOSE},
    {"eval", required_argument, nullptr, EVAL},
    {"stdin", no_argument, nullptr, STDIN},
    {"pool", required_argument, nullptr, POOL},
    {"helper", required_argument, nullptr, HELPER},
    {"launcher", required_argument, nullptr, LAUNCHER},
    {"remote-relay", required_argument, nullptr, REMOTE_RELAY},
    {"attempts", required_argument, nullptr, ATTEMPTS},
    {"heartbeat", required_argument, nullptr, HEARTBEAT},
    {"start-timeout", required_argument, nullptr, START_TIMEOUT},
    {"suppress", required_argument, nullptr, SUPPRESS},
    {"quiet", no_argument, nullptr, 'q'},
    {"debug", no_argument, nullptr, DEBUG},
    {"color", optional_argument, nullptr, COLOR},
    {"summary", no_argument, nullptr, SUMMARY},
    {"strict", no_argument, nullptr, STRICT},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, VERSION},
    {nullptr, 0, nullptr, 0},
};

// '+': the first word that is not an option starts the command; its own options stay its own.
constexpr const char* SHORT_OPTIONS = "+c:qh";

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
      o.title = IPC_COMMAND::IMPL::make_title(o.command_line, o.title);
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
    if (o.pool) o.pool->helper_command = m_pending_helper;
    if (o.pool) o.pool->remote = m_remote, o.pool->remote.debug = o.debug;
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
    m_result.options.pool =
        POOL_OPTIONS{static_cast<int>(helpers), static_cast<int>(partitions), {}, {}};
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
  REMOTE_POOL_OPTIONS m_remote;
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

const char* short_usage() {
  static const std::string usage =
      std::string(USAGE_LINES) + "Try 'ipc_run --help' for more information.\n";
  return usage.c_str();
}

std::string help_text() {
  std::string body = HELP_BODY;
  body.replace(body.find("@SETTINGS@"), std::strlen("@SETTINGS@"), key_help());
  return std::string(USAGE_LINES) + "\n" + body;
}
