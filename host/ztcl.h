// Tcl bridge: the host's one interpreter.
#pragma once

#include <tcl.h>

#include <string>

// The host interpreter, or null before host_start and after host_stop.
Tcl_Interp* ztcl_get_interpreter();

// Evaluates script at global level. On the interpreter's thread: at once, *result (if given)
// receiving the result text. On another thread: queued in order to the interpreter's thread;
// with wait false it returns at once (TCL_OK), with wait true it blocks until evaluated.
// An evaluation error goes to the debug channel and never stops the caller.
int ztcl_post(const std::string& script, bool wait, std::string* result);

// Writes the pointer's Tcl text ("0x..." , NUL-terminated) into a 56-byte buffer.
void ztcl_ptr_to_string(char* buffer, void* pointer);

// Registers a Tcl command implemented in C++ in the host interpreter (used by hosts like ipc_run).
void ztcl_create_command(const char* name, Tcl_ObjCmdProc* proc, ClientData data);
