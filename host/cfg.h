// Configuration service: named values, set by the host, read by the library.
#pragma once

#include <string>

// True when the value is 1, on, true or yes, in any case.
bool cfg_is_on(const std::string& name);
// How cfg_is_on reads a text: true for 1, on, true or yes; *is_flag (if given) false when the
// text is none of those nor 0, off, false or no.
bool cfg_text_is_on(const std::string& text, bool* is_flag = nullptr);
// The value as an integer; default_value when unset or not an integer.
int cfg_get_int_value(const std::string& name, int default_value);
// Sets a value; later reads see it at once.
void cfg_set_value(const std::string& name, const std::string& value);
// Removes a value, so reads give their defaults again.
void cfg_unset_value(const std::string& name);
