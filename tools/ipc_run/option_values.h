// How ipc_run reads the values of its options: numbers, durations and settings.
#pragma once

#include <string>

#include "host/settings.h"

// The names of every setting, ", " between them.
std::string key_list();
// A decimal number within [low, high], the whole text.
bool parse_int(const std::string& text, long low, long high, long* value);
// Whether value suits setting: a flag word for a flag, a number from its minimum for a number.
bool valid_value(const SETTING& setting, const std::string& value);
// Seconds as timeout(1) takes them: a non-negative number with an optional unit s, m, h or d.
bool parse_duration(const std::string& text, double* seconds);
