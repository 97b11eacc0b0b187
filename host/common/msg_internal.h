// Pieces of the message service shared between its own source files (and the host's Tcl
// commands), not part of any contract.
#pragma once

#include <cstdarg>
#include <string>

#include "host/msg.h"

// The printf-style text; empty when the format produces nothing.
std::string msg_vformat(const char* format, va_list args);
// True when an info or warning message with a nonzero id was suppressed by the user.
bool msg_suppressed(MSG_KIND kind, unsigned id);
// Hands record to report, or to the default (or debug) sink when report is null.
void msg_deliver_record(const MSG_RECORD& record, MSG_REPORT* report);

inline const char* msg_or_empty(const char* text) { return text != nullptr ? text : ""; }

// Host debug text (Tcl errors, a child's Debug: words): shown whenever any debug output is on,
// so turning on the library's debug output also shows why a child's line failed.
void host_debug_text(const char* module, const std::string& text);
