// The text a child meant by a Tcl word, for the host commands that take text from a child.
#pragma once

#include <tcl.h>

#include <string>

// word's bytes with each zero byte back as itself: Tcl keeps a zero byte as the two bytes C0 80.
inline std::string host_text_of(Tcl_Obj* word) {
  int length = 0;
  const char* bytes = Tcl_GetStringFromObj(word, &length);
  std::string text;
  text.reserve(static_cast<size_t>(length));
  for (int i = 0; i < length; ++i) {
    const bool zero = bytes[i] == '\xC0' && i + 1 < length && bytes[i + 1] == '\x80';
    text += zero ? '\0' : bytes[i];
    i += zero ? 1 : 0;
  }
  return text;
}
