// The text a child meant by a Tcl word, for the host commands that take text from a child.
#pragma once

#include <tcl.h>

#include <cstring>
#include <string>
#include <string_view>

// A word's bytes with each zero byte back as itself: Tcl keeps a zero byte as the two bytes C0 80.
inline std::string host_text_of(std::string_view word) {
  const char* bytes = word.data();
  const char* const end = bytes + word.size();
  std::string text;
  text.reserve(word.size());
  // Copied in runs between lead bytes C0, which are rare: a text is not walked byte by byte.
  for (const char* rest = bytes; rest != end;) {
    const auto* lead = static_cast<const char*>(std::memchr(rest, '\xC0', end - rest));
    if (lead == nullptr || lead + 1 == end) {
      text.append(rest, end);
      break;
    }
    text.append(rest, lead);
    const bool zero = lead[1] == '\x80';
    text += zero ? '\0' : *lead;
    rest = lead + (zero ? 2 : 1);
  }
  return text;
}

inline std::string host_text_of(Tcl_Obj* word) {
  int length = 0;
  const char* bytes = Tcl_GetStringFromObj(word, &length);
  return host_text_of(std::string_view(bytes, static_cast<size_t>(length)));
}
