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

// Registers the message service's Tcl commands as host commands.
void host_create_message_commands();

// For the relay's fast path, what msg_post itself does: whether interpreter's msg_post is still
// the host's command, the severity words it takes, and the post of a text.
bool host_offers_own_msg_post(Tcl_Interp* interpreter);
bool host_parse_severity(const char* text, MSG_KIND* kind);
void host_post_message_text(MSG_KIND kind, unsigned id, std::string text, MSG_REPORT* report);
