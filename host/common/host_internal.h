// Pieces of the host layer shared between its own source files, not part of any contract.
#pragma once

#include <tcl.h>

#include <string>

// Creates the host interpreter on the calling thread, which becomes the interpreter's thread.
Tcl_Interp* ztcl_open_interpreter(const char* argv0);
// Drops the scripts still queued (releasing their waiters) and deletes the interpreter.
void ztcl_close_interpreter();

// Host debug text (Tcl errors, a child's Debug: words): shown whenever any debug output is on,
// so turning on the library's debug output also shows why a child's line failed.
void host_debug_text(const char* module, const std::string& text);
