// The relay's fast path: a child line that is one literal message command is posted without a
// general Tcl evaluation, with exactly the outcome the evaluation would have.
#pragma once

#include <string>

#include "host/msg.h"

// For a host's line hook (process_line) in Tcl mode, with nothing pending: when line is exactly
// one command "msg_post 0 SEVERITY ?ID? TEXT" whose words are all literal (no substitution, no
// comment, no second command, no zero byte), the calling thread's child interpreter offers the
// host's own msg_post, SEVERITY is valid and ID a plain decimal id, posts the message as msg_post
// would (to report, null for the default sink) and returns true. Anything else, including every
// line msg_post would reject, returns false untouched: the general path judges it.
bool host_post_literal_message(const std::string& line, MSG_REPORT* report);

// A host's line hook in Tcl mode, before the library's: true when line was served here, as a
// literal message (to run_report when the library would send it there, the run's attached report
// or null) or as stray text (host_take_stray_line); false: hand it to the library.
bool host_take_line(const std::string& pending, const std::string& line, MSG_REPORT* run_report);
