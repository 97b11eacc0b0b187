// Pieces of the host layer shared between its own source files, not part of any contract.
#pragma once

#include <tcl.h>

#include <string>

#include "host/common/msg_internal.h"  // host_debug_text

// Creates the host interpreter on the calling thread, which becomes the interpreter's thread.
Tcl_Interp* ztcl_open_interpreter(const char* argv0);
// Drops the scripts still queued (releasing their waiters) and deletes the interpreter.
void ztcl_close_interpreter();
