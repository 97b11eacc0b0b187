// A child's stray output (text that is not a command), which the library reports only on its
// debug channel: how a host finds it there and cuts it into the lines the child wrote.
#pragma once

#include <string>
#include <vector>

#include "host/msg.h"

// The module whose debug output, at level 2, carries the reports; a host shows stray output only
// while that level is on.
constexpr const char* STRAY_OUTPUT_MODULE = "IPC";

// True when record is the library's report of stray output; *text then holds the stray text.
bool host_stray_text_of(const MSG_RECORD& record, std::string* text);

// The lines of text; the newlines that end it add no empty line, an empty text is one empty line.
std::vector<std::string> host_stray_lines(const std::string& text);
