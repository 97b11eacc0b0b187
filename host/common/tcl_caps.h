// What the caps of a safe child interpreter share: the limits, the refusals, and how a built-in
// is moved out of the child's reach to be called by its wrapper.
#pragma once

#include <tcl.h>

#include <string>

namespace tcl_caps {

constexpr Tcl_WideInt RESULT_CAP_BYTES = 16 << 20;
// Converting an integer to text or back takes time quadratic in its size; at 65536 bits (19,729
// digits) that is milliseconds, at a million bits it is minutes.
constexpr double INTEGER_CAP_BITS = 65536;
constexpr int NUMBER_TEXT_CAP = 20000;  // a longer text is no integer within the cap

// A Tcl error "WHAT refused: the result would exceed LIMIT" (16 MiB or 65536 bits).
int refuse_text(Tcl_Interp* interpreter, const char* what);
int refuse_integer(Tcl_Interp* interpreter, const char* what);
// The length of obj's text.
Tcl_WideInt length_of(Tcl_Obj* obj);
// count * size > RESULT_CAP_BYTES, without overflow.
bool exceeds(Tcl_WideInt count, Tcl_WideInt size);
// A long text not yet a number would take time quadratic in its length to become one.
bool too_long_for_a_number(Tcl_Obj* obj);
// The obj's value when it is an integer of 64 bits, else 0 (the built-in judges it).
Tcl_WideInt wide_or_zero(Tcl_Obj* obj);
// log2 of the integer's magnitude (-1 for zero), or NAN when obj is no integer.
double magnitude_bits(Tcl_Obj* obj);

// Calls a built-in by its command info.
int call(const Tcl_CmdInfo& builtin, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]);
// Moves the built-in name out of the child's reach, hidden but alive (its data lives with it),
// and gives how to call it. A command of ours in its place is never compiled inline, so compiled
// code meets the cap too.
bool take_builtin(Tcl_Interp* interpreter, const std::string& name, Tcl_CmdInfo* info);

// The caps themselves: commands that build texts and lists, the growing integer operators as
// commands and math functions, and the expressions of expr, if, while and for.
void cap_text_commands(Tcl_Interp* interpreter);
void cap_operators(Tcl_Interp* interpreter);
void cap_expressions(Tcl_Interp* interpreter);

}  // namespace tcl_caps
