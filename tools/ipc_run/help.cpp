// ipc_run's words for the user: the usage lines and the text of --help.
#include <cstring>
#include <iterator>
#include <string>

#include "host/settings.h"
#include "tools/ipc_run/options.h"

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
      --debug              show the library's debug output (DEBUG IPC: ...),
                           the child's Debug: lines (DEBUG CHILD: ...) and how
                           each pool helper was launched (DEBUG POOL: ...)
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

}  // namespace

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
