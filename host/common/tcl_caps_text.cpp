// The caps on commands that build a text or a list from a count or a width: each wrapper checks
// its words before the built-in runs.
#include <tcl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "host/common/tcl_caps.h"

namespace tcl_caps {
namespace {

using CHECK = int (*)(Tcl_Interp*, int objc, Tcl_Obj* const objv[]);

struct WRAPPED {
  Tcl_CmdInfo builtin;
  CHECK check;
};

int checked_command(ClientData data, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  const WRAPPED& wrapped = *static_cast<WRAPPED*>(data);
  if (wrapped.check(interpreter, objc, objv) != TCL_OK) return TCL_ERROR;
  return call(wrapped.builtin, interpreter, objc, objv);
}

void delete_wrapped(ClientData data) { delete static_cast<WRAPPED*>(data); }

void wrap(Tcl_Interp* interpreter, const char* name, Tcl_ObjCmdProc* proc, CHECK check) {
  Tcl_CmdInfo info;
  if (take_builtin(interpreter, name, &info))
    Tcl_CreateObjCommand(interpreter, name, proc, new WRAPPED{info, check}, delete_wrapped);
}

// string repeat TEXT COUNT
int check_string_repeat(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc != 3) return TCL_OK;
  if (too_long_for_a_number(objv[2])) return refuse_text(interpreter, "string repeat");
  if (exceeds(wide_or_zero(objv[2]), length_of(objv[1])))
    return refuse_text(interpreter, "string repeat");
  return TCL_OK;
}

// lrepeat COUNT ?VALUE ...?: as a list and as its text.
int check_lrepeat(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc < 3) return TCL_OK;
  if (too_long_for_a_number(objv[1])) return refuse_text(interpreter, "lrepeat");
  Tcl_WideInt size = 0;
  for (int i = 2; i < objc; ++i)
    size += std::max<Tcl_WideInt>(length_of(objv[i]) + 1, sizeof(Tcl_Obj*));
  return exceeds(wide_or_zero(objv[1]), size) ? refuse_text(interpreter, "lrepeat") : TCL_OK;
}

// join LIST ?SEPARATOR?
int check_join(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  int count = 0;
  Tcl_Obj** elements = nullptr;
  if ((objc != 2 && objc != 3) ||
      Tcl_ListObjGetElements(nullptr, objv[1], &count, &elements) != TCL_OK)
    return TCL_OK;
  Tcl_WideInt total = objc == 3 && count > 1 ? (count - 1) * length_of(objv[2]) : 0;
  for (int i = 0; i < count && total <= RESULT_CAP_BYTES; ++i) total += length_of(elements[i]);
  return total > RESULT_CAP_BYTES ? refuse_text(interpreter, "join") : TCL_OK;
}

// string map ?-nocase? MAPPING TEXT: each replaced key is at least one character long.
int check_string_map(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  int count = 0;
  Tcl_Obj** pairs = nullptr;
  if (objc < 3 || Tcl_ListObjGetElements(nullptr, objv[objc - 2], &count, &pairs) != TCL_OK)
    return TCL_OK;
  Tcl_WideInt longest = 1;
  for (int i = 1; i < count; i += 2) longest = std::max(longest, length_of(pairs[i]));
  return exceeds(length_of(objv[objc - 1]), longest) ? refuse_text(interpreter, "string map")
                                                     : TCL_OK;
}

// regsub ?SWITCHES? EXP TEXT REPLACEMENT ?VARNAME?: each match adds REPLACEMENT, each & or \N in it
// adds the match again.
int check_regsub(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  bool all = false;
  int i = 1;
  for (; i < objc && Tcl_GetString(objv[i])[0] == '-'; ++i) {
    const std::string_view word = Tcl_GetString(objv[i]);
    if (word == "--") {
      ++i;
      break;
    }
    all = all || word == "-all";
    if (word == "-start") ++i;
  }
  if (objc - i < 3) return TCL_OK;
  const Tcl_WideInt text = length_of(objv[i + 1]);
  const std::string_view replacement = Tcl_GetString(objv[i + 2]);
  Tcl_WideInt copies = 1 + std::count(replacement.begin(), replacement.end(), '&');
  for (size_t at = replacement.find('\\'); at != std::string_view::npos;
       at = replacement.find('\\', at + 2))
    copies += at + 1 < replacement.size() &&
              std::isdigit(static_cast<unsigned char>(replacement[at + 1]));
  const Tcl_WideInt matches = all ? text + 1 : 1;
  if (exceeds(text, copies) || exceeds(matches, static_cast<Tcl_WideInt>(replacement.size())) ||
      text * copies + matches * static_cast<Tcl_WideInt>(replacement.size()) > RESULT_CAP_BYTES)
    return refuse_text(interpreter, "regsub");
  return TCL_OK;
}

// A width or precision of format: digits, or * for the next argument (negative: left-aligned).
Tcl_WideInt format_field(const char*& at, int objc, Tcl_Obj* const objv[], int& next) {
  if (*at == '*') {
    ++at;
    if (next >= objc) return 0;
    Tcl_Obj* width = objv[next++];
    return too_long_for_a_number(width) ? RESULT_CAP_BYTES + 1 : std::llabs(wide_or_zero(width));
  }
  char* end = nullptr;
  const Tcl_WideInt value =
      std::isdigit(static_cast<unsigned char>(*at)) ? std::strtoll(at, &end, 10) : 0;
  if (end != nullptr) at = end;
  return std::min(value, RESULT_CAP_BYTES + 1);
}

// format FORMAT ?ARG ...?: the widths and precisions together.
int check_format(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc < 2) return TCL_OK;
  Tcl_WideInt total = 0;
  int next = 2;
  for (const char* at = std::strchr(Tcl_GetString(objv[1]), '%'); at != nullptr;
       at = std::strchr(at, '%')) {
    ++at;
    if (*at == '%') {
      ++at;
      continue;
    }
    const char* digits_end = at;
    while (std::isdigit(static_cast<unsigned char>(*digits_end))) ++digits_end;
    if (*digits_end == '$' && digits_end != at) {
      next = 1 + std::atoi(at);
      at = digits_end + 1;
    }
    while (*at != '\0' && std::strchr("-+ #0", *at) != nullptr) ++at;
    total += format_field(at, objc, objv, next);
    if (*at == '.') total += format_field(++at, objc, objv, next);
    if (total > RESULT_CAP_BYTES) return refuse_text(interpreter, "format");
    ++next;  // the value converted
  }
  return TCL_OK;
}

// binary format TEMPLATE ?ARG ...?: the counts together.
int check_binary_format(Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc < 2) return TCL_OK;
  Tcl_WideInt total = 0;
  for (const char* at = Tcl_GetString(objv[1]); *at != '\0';) {
    if (!std::isdigit(static_cast<unsigned char>(*at))) {
      ++at;
      continue;
    }
    char* end = nullptr;
    total += std::min(std::strtoll(at, &end, 10), RESULT_CAP_BYTES + 1);
    at = end;
    if (total > RESULT_CAP_BYTES) return refuse_text(interpreter, "binary format");
  }
  return TCL_OK;
}

}  // namespace

void cap_text_commands(Tcl_Interp* interpreter) {
  const std::pair<const char*, CHECK> checked[] = {{"::tcl::string::repeat", check_string_repeat},
                                                   {"::tcl::string::map", check_string_map},
                                                   {"lrepeat", check_lrepeat},
                                                   {"join", check_join},
                                                   {"regsub", check_regsub},
                                                   {"format", check_format},
                                                   {"::tcl::binary::format", check_binary_format}};
  for (const auto& [name, check] : checked) wrap(interpreter, name, checked_command, check);
}

}  // namespace tcl_caps
