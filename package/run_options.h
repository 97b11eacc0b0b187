// The options of ipc::run, as a Tcl script gives them.
#pragma once

#include <tcl.h>

#include <optional>
#include <string>
#include <vector>

#include "services/helper_pool.h"

// Holds one reference to a Tcl object (a callback's command prefix), or none.
class TCL_OBJ_REF {
 public:
  TCL_OBJ_REF() = default;
  ~TCL_OBJ_REF() { reset(nullptr); }
  TCL_OBJ_REF(const TCL_OBJ_REF&) = delete;
  TCL_OBJ_REF& operator=(const TCL_OBJ_REF&) = delete;
  void reset(Tcl_Obj* object);
  Tcl_Obj* get() const { return m_object; }
  explicit operator bool() const { return m_object != nullptr; }

 private:
  Tcl_Obj* m_object = nullptr;
};

// What the run's worker thread needs: plain values, no Tcl object.
struct RUN_SETTINGS {
  std::string command_line;    // the words joined for the library's splitter
  std::string process_option;  // -cwd and -env as process option words
  std::string title;
  bool shell = false;
  bool plain = false;
  bool no_stderr = false;
  bool named_pipe = false;
  bool trusted = false;
  bool quiet = false;   // stray text and failed lines without a callback are dropped, not shown
  bool strict = false;  // a failed or stray line makes exit_code 65 when the child's was 0
  long timeout_ms = 0;  // 0: none
  std::vector<std::string> exposed;
  std::optional<HELPER_POOL_OPTIONS> pool;  // -pool and its helpers' options
  // Which callbacks the application gave; the worker hands only their records over.
  bool has_on_message = false;
  bool has_on_stray = false;
  bool has_on_error = false;
  bool has_on_progress = false;
  bool has_on_pool = false;
  bool debug_was_on = false;  // the application's debug output of stray text was on
};

// The options of one run as the application's thread keeps them.
struct RUN_OPTIONS : RUN_SETTINGS {
  std::string stop_variable;
  TCL_OBJ_REF on_message;
  TCL_OBJ_REF on_stray;
  TCL_OBJ_REF on_progress;
  TCL_OBJ_REF on_error;
  TCL_OBJ_REF on_complete;
  TCL_OBJ_REF on_pool;
};

// Parses "?options? ?--? command ?arg ...?" (objv[0] is the command's own name, name the one
// usage errors give); false with a clear message in the interpreter's result for a usage error.
// -oncomplete is taken only when with_complete.
bool parse_run_options(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[],
                       RUN_OPTIONS* options, const char* name, bool with_complete);
