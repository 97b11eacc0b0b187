// A child's stray output (text that is not a command), which the library reports only on its
// debug channel: how a host takes a stray line early, finds the reports on that channel, cuts
// them into the lines the child wrote and shows them and failed lines safely.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/msg.h"

// The module whose debug output, at level 2, carries the reports; a host shows stray output only
// while that level is on.
constexpr const char* STRAY_OUTPUT_MODULE = "IPC";

// True when record is the library's report of stray output; *text then views the stray text
// inside record.text.
bool host_stray_text_of(const MSG_RECORD& record, std::string_view* text);

// For a host's line hook (process_line) in Tcl mode: a line that starts a new command (nothing is
// pending) and whose first word the calling thread's child interpreter does not offer is stray
// text at once: reported in the library's words, true returned, and the next line starts afresh.
// Without this one unbalanced stray line ("Processing [file.v") would gather every later line
// into one command that never completes; it also spares an outsized stray line the library's
// copies of it. Multi-line commands of offered commands still gather. False: hand the line to
// the library.
bool host_take_stray_line(const std::string& pending, const std::string& line);

// "backend line failed: ERROR: LINE" for a child line that failed in Tcl: both escaped so that
// they cannot drive a terminal, the line cut to fit one screen line.
std::string host_failed_line_text(const std::string& error, const std::string& line);

// text with each control character but tab shown as \xNN, so a child cannot drive a terminal.
std::string host_printable(std::string_view text);

// host_printable for each line of text, the newlines kept: for debug texts of several lines.
std::string host_printable_lines(std::string_view text);

// At most width bytes of text, not cutting a UTF-8 character in two.
std::string_view host_utf8_prefix(std::string_view text, size_t width);

// The lines of text; the newlines that end it add no empty line, an empty text is one empty line.
std::vector<std::string_view> host_stray_lines(std::string_view text);
