// Pieces of the host layer shared between its own source files, not part of any contract.
#pragma once

#include <tcl.h>

#include <string>

#include "host/common/msg_internal.h"  // host_debug_text

// Creates the trusted interpreter on the calling thread, which becomes the interpreter's thread.
Tcl_Interp* ztcl_open_interpreter(const char* argv0);
// Makes an application's interpreter the trusted one, on the calling thread.
void ztcl_adopt_interpreter(Tcl_Interp* interpreter);
// Lets go of the trusted interpreter: deletes it, or, when adopted, only removes the host commands.
void ztcl_close_interpreter();

// False when a run policy is in force on the calling thread, interpreter is the thread's own child
// interpreter and report (non-null) is not the run's: a child names only 0 or its run's report.
bool ztcl_child_may_name_report(Tcl_Interp* interpreter, const void* report);

// Caps the commands of a safe child interpreter that could compute or allocate without bound in
// one call; each refusal is a Tcl error.
void ztcl_cap_child_commands(Tcl_Interp* interpreter);

// Registers the message service's Tcl commands as host commands.
void host_create_message_commands();

// What msg_post does, shared with the relay's fast path: whether interpreter's msg_post is still
// the host's command; the severity words it takes (error, warning, info, E, W, I in any case);
// and the post of a text, as the message objects post (a suppressed info or warning id is
// dropped), the text taken whole, zero bytes included.
bool host_offers_own_msg_post(Tcl_Interp* interpreter);
bool host_parse_severity(const char* text, MSG_KIND* kind);
void host_post_message_text(MSG_KIND kind, unsigned id, std::string text, MSG_REPORT* report);
