// The options of ipc::run, as a Tcl script gives them.
#include "package/run_options.h"

#include "ipc/ipc_command.h"
#include "services/shell_words.h"

namespace {

constexpr const char* USAGE = "?options? ?--? command ?arg ...?";

const char* const OPTION_NAMES[] = {
    "-title",        "-shell",      "-plain",    "-nostderr",    "-namedpipe",    "-cwd",
    "-env",          "-timeout",    "-trusted",  "-expose",      "-stopvariable", "-onmessage",
    "-onstray",      "-onprogress", "-onerror",  "-quiet",       "-strict",       "-oncomplete",
    "-pool",         "-helper",     "-launcher", "-remoterelay", "-attempts",     "-heartbeat",
    "-starttimeout", "-onpool",     "--",        nullptr};
enum OPTION {
  TITLE,
  SHELL,
  PLAIN,
  NO_STDERR,
  NAMED_PIPE,
  CWD,
  ENV,
  TIMEOUT,
  TRUSTED,
  EXPOSE,
  STOP_VARIABLE,
  ON_MESSAGE,
  ON_STRAY,
  ON_PROGRESS,
  ON_ERROR,
  QUIET,
  STRICT,
  ON_COMPLETE,
  POOL,
  HELPER,
  LAUNCHER,
  REMOTE_RELAY,
  ATTEMPTS,
  HEARTBEAT,
  START_TIMEOUT,
  ON_POOL,
  END_OF_OPTIONS
};

bool takes_value(int option) {
  switch (option) {
    case SHELL:
    case PLAIN:
    case NO_STDERR:
    case NAMED_PIPE:
    case TRUSTED:
    case QUIET:
    case STRICT:
    case END_OF_OPTIONS:
      return false;
    default:
      return true;
  }
}

// The command named in usage errors: parsing is one call at a time, on the application's thread.
const char* command_name = "ipc::run";

bool fail(Tcl_Interp* interpreter, const std::string& text) {
  Tcl_SetObjResult(interpreter,
                   Tcl_NewStringObj((std::string(command_name) + ": " + text).c_str(), -1));
  Tcl_SetErrorCode(interpreter, "IPC", "USAGE", nullptr);
  return false;
}

bool list_of_strings(Tcl_Interp* interpreter, Tcl_Obj* list, std::vector<std::string>* out) {
  int count = 0;
  Tcl_Obj** elements = nullptr;
  if (Tcl_ListObjGetElements(interpreter, list, &count, &elements) != TCL_OK) return false;
  for (int i = 0; i < count; ++i) out->emplace_back(Tcl_GetString(elements[i]));
  return true;
}

bool parse_environment(Tcl_Interp* interpreter, Tcl_Obj* value, std::vector<std::string>* words) {
  std::vector<std::string> pairs;
  if (!list_of_strings(interpreter, value, &pairs)) return false;
  if (pairs.size() % 2 != 0) return fail(interpreter, "-env needs a list of NAME VALUE pairs");
  for (size_t i = 0; i < pairs.size(); i += 2) {
    const std::string& name = pairs[i];
    if (name.empty() || name.find('=') != std::string::npos)
      return fail(interpreter, "-env: \"" + name + "\" is not a variable name");
    words->push_back("env=" + name + "=" + pairs[i + 1]);
  }
  return true;
}

bool parse_timeout(Tcl_Interp* interpreter, Tcl_Obj* value, long* timeout_ms) {
  if (Tcl_GetLongFromObj(nullptr, value, timeout_ms) != TCL_OK || *timeout_ms < 0)
    return fail(interpreter, std::string("-timeout needs milliseconds (an integer >= 0), not \"") +
                                 Tcl_GetString(value) + "\"");
  return true;
}

bool integer_in(Tcl_Interp* interpreter, Tcl_Obj* value, long low, long high, long* number,
                const std::string& what) {
  if (Tcl_GetLongFromObj(nullptr, value, number) == TCL_OK && *number >= low && *number <= high)
    return true;
  return fail(interpreter, what + ", not \"" + Tcl_GetString(value) + "\"");
}

// -pool {H P}: H helpers (1 to 64) work through P partitions.
bool parse_pool(Tcl_Interp* interpreter, Tcl_Obj* value, HELPER_POOL_OPTIONS* pool) {
  int count = 0;
  Tcl_Obj** numbers = nullptr;
  long helpers = 0, partitions = 0;
  const std::string need = "-pool needs {HELPERS PARTITIONS}, 1 to 64 helpers and a partition";
  if (Tcl_ListObjGetElements(nullptr, value, &count, &numbers) != TCL_OK || count != 2)
    return fail(interpreter, need + ", not \"" + Tcl_GetString(value) + "\"");
  if (!integer_in(interpreter, numbers[0], 1, 64, &helpers, need) ||
      !integer_in(interpreter, numbers[1], 1, 1000000, &partitions, need))
    return false;
  pool->helper_count = static_cast<int>(helpers);
  pool->partition_count = static_cast<int>(partitions);
  return true;
}

bool parse_seconds(Tcl_Interp* interpreter, Tcl_Obj* value, const char* name, double* seconds) {
  long milliseconds = 0;
  if (!integer_in(interpreter, value, 1, 86400000, &milliseconds,
                  std::string(name) + " needs milliseconds above 0"))
    return false;
  *seconds = static_cast<double>(milliseconds) / 1000;
  return true;
}

// The pool's options, each of which makes the run one with a pool.
bool apply_pool_option(Tcl_Interp* interpreter, int option, Tcl_Obj* value, RUN_OPTIONS* o) {
  HELPER_POOL_OPTIONS& pool = o->pool ? *o->pool : o->pool.emplace();
  long attempts = 0;
  switch (option) {
    case POOL:
      return parse_pool(interpreter, value, &pool);
    case HELPER: {
      std::vector<std::string> words;
      if (!list_of_strings(interpreter, value, &words) || words.empty())
        return words.empty() ? fail(interpreter, "-helper needs the helper's command words")
                             : false;
      return pool.helper_command = shell_join_words(words), true;
    }
    case LAUNCHER:
      return pool.launcher = Tcl_GetString(value), true;
    case REMOTE_RELAY:
      return pool.remote_relay = Tcl_GetString(value), true;
    case ATTEMPTS:
      if (!integer_in(interpreter, value, 1, 100, &attempts, "-attempts needs 1 to 100"))
        return false;
      return pool.attempts = static_cast<int>(attempts), true;
    case HEARTBEAT:
      return parse_seconds(interpreter, value, "-heartbeat", &pool.heartbeat_seconds);
    case START_TIMEOUT:
      return parse_seconds(interpreter, value, "-starttimeout", &pool.start_timeout_seconds);
    default:
      return true;
  }
}

bool check_pool(Tcl_Interp* interpreter, const RUN_OPTIONS& o) {
  if (!o.pool)
    return o.on_pool ? fail(interpreter, "-onpool needs -pool {HELPERS PARTITIONS}") : true;
  if (o.pool->helper_count == 0)
    return fail(interpreter,
                "-helper, -launcher, -remoterelay, -attempts, -heartbeat and -starttimeout need "
                "-pool {HELPERS PARTITIONS}");
  if (o.pool->helper_command.empty()) return fail(interpreter, "-pool needs -helper COMMAND");
  if (const std::string error = pool_launcher_error(o.pool->launcher); !error.empty())
    return fail(interpreter, "-launcher " + error);
  return true;
}

// A command prefix: a list the call's words are appended to.
bool set_callback(Tcl_Interp* interpreter, Tcl_Obj* value, TCL_OBJ_REF* callback) {
  int length = 0;
  if (Tcl_ListObjLength(interpreter, value, &length) != TCL_OK) return false;
  if (length == 0) return fail(interpreter, "a callback needs a command prefix, not \"\"");
  callback->reset(value);
  return true;
}

bool apply_option(Tcl_Interp* interpreter, int option, Tcl_Obj* value, RUN_OPTIONS* o,
                  std::vector<std::string>* process_words) {
  switch (option) {
    case TITLE:
      return o->title = Tcl_GetString(value), true;
    case SHELL:
      return o->shell = true;
    case PLAIN:
      return o->plain = true;
    case NO_STDERR:
      return o->no_stderr = true;
    case NAMED_PIPE:
      return o->named_pipe = true;
    case TRUSTED:
      return o->trusted = true;
    case CWD:
      if (*Tcl_GetString(value) == '\0') return fail(interpreter, "-cwd needs a directory");
      process_words->push_back(std::string("cwd=") + Tcl_GetString(value));
      return true;
    case ENV:
      return parse_environment(interpreter, value, process_words);
    case TIMEOUT:
      return parse_timeout(interpreter, value, &o->timeout_ms);
    case EXPOSE:
      return list_of_strings(interpreter, value, &o->exposed);
    case STOP_VARIABLE:
      return o->stop_variable = Tcl_GetString(value), true;
    case ON_MESSAGE:
      return set_callback(interpreter, value, &o->on_message);
    case ON_STRAY:
      return set_callback(interpreter, value, &o->on_stray);
    case ON_PROGRESS:
      return set_callback(interpreter, value, &o->on_progress);
    case ON_ERROR:
      return set_callback(interpreter, value, &o->on_error);
    case QUIET:
      return o->quiet = true;
    case STRICT:
      return o->strict = true;
    case ON_COMPLETE:
      return set_callback(interpreter, value, &o->on_complete);
    case ON_POOL:
      return set_callback(interpreter, value, &o->on_pool);
    default:
      return apply_pool_option(interpreter, option, value, o);
  }
}

}  // namespace

void TCL_OBJ_REF::reset(Tcl_Obj* object) {
  if (object != nullptr) Tcl_IncrRefCount(object);
  if (m_object != nullptr) Tcl_DecrRefCount(m_object);
  m_object = object;
}

bool parse_run_options(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[],
                       RUN_OPTIONS* options, const char* name, bool with_complete) {
  command_name = name;
  std::vector<std::string> process_words;
  int i = 1;
  while (i < objc && Tcl_GetString(objv[i])[0] == '-') {
    int option = 0;
    if (Tcl_GetIndexFromObj(interpreter, objv[i], OPTION_NAMES, "option", 0, &option) != TCL_OK)
      return false;
    if (option == ON_COMPLETE && !with_complete)
      return fail(interpreter, "-oncomplete is an option of ipc::start");
    ++i;
    if (option == END_OF_OPTIONS) break;
    Tcl_Obj* value = nullptr;
    if (takes_value(option)) {
      if (i == objc) return fail(interpreter, std::string(OPTION_NAMES[option]) + " needs a value");
      value = objv[i++];
    }
    if (!apply_option(interpreter, option, value, options, &process_words)) return false;
  }
  if (i == objc) {
    Tcl_WrongNumArgs(interpreter, 1, objv, USAGE);
    return false;
  }
  if (!check_pool(interpreter, *options)) return false;
  std::vector<std::string> words;
  for (; i < objc; ++i) words.emplace_back(Tcl_GetString(objv[i]));
  // One word with -shell is a shell command line, taken as it is.
  options->command_line = options->shell && words.size() == 1 ? words[0] : shell_join_words(words);
  // The library passes the pipe's name after the program, at the line's first blank.
  if (options->named_pipe && options->command_line.find(' ') == std::string::npos)
    return fail(interpreter,
                "-namedpipe needs a command with at least one argument: the pipe's name is "
                "passed right after the program");
  // Wrapped here, as ipc_run does, so the pipe's name follows the text's first word.
  if (options->shell) {
    options->title = IPC_COMMAND::title_of(options->command_line, options->title);
    options->command_line = shell_command_line(options->command_line);
    options->shell = false;
  }
  options->process_option = shell_join_words(process_words);
  options->has_on_message = static_cast<bool>(options->on_message);
  options->has_on_stray = static_cast<bool>(options->on_stray);
  options->has_on_error = static_cast<bool>(options->on_error);
  options->has_on_progress = static_cast<bool>(options->on_progress);
  options->has_on_pool = static_cast<bool>(options->on_pool);
  return true;
}
