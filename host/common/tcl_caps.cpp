// Caps on the commands of a safe child interpreter that could compute or allocate without bound in
// one C call, which no time limit can cut short: texts and lists made from a count or a width,
// and the integer operators that grow a number (**, *, <<), in expressions and as commands.
// Each wrapper checks its words and hands them to the built-in; a refusal is a Tcl error.
#include "host/common/tcl_caps.h"

#include <tcl.h>
#include <tclTomMath.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/common/host_internal.h"

namespace tcl_caps {
namespace {

constexpr const char* UNSUPPORTED[] = {"assemble", "disassemble", "getbytecode", "representation",
                                       "inject",   "corotype",    "timerate"};

int refuse(Tcl_Interp* interpreter, const std::string& what, const char* limit) {
  const std::string text = what + " refused: the result would exceed " + limit;
  Tcl_SetObjResult(interpreter, Tcl_NewStringObj(text.c_str(), -1));
  Tcl_SetErrorCode(interpreter, "IPC", "CAP", nullptr);
  return TCL_ERROR;
}

bool is_number(const Tcl_Obj* obj) {
  static const Tcl_ObjType* const types[] = {Tcl_GetObjType("int"), Tcl_GetObjType("wideInt"),
                                             Tcl_GetObjType("bignum"), Tcl_GetObjType("double")};
  return obj->typePtr != nullptr &&
         std::find(std::begin(types), std::end(types), obj->typePtr) != std::end(types);
}

}  // namespace

int refuse_text(Tcl_Interp* interpreter, const char* what) {
  return refuse(interpreter, what, "16 MiB");
}

int refuse_integer(Tcl_Interp* interpreter, const char* what) {
  return refuse(interpreter, what, "65536 bits");
}

Tcl_WideInt length_of(Tcl_Obj* obj) {
  int length = 0;
  Tcl_GetStringFromObj(obj, &length);
  return length;
}

bool exceeds(Tcl_WideInt count, Tcl_WideInt size) {
  return count > 0 && size > 0 && count > RESULT_CAP_BYTES / size;
}

bool too_long_for_a_number(Tcl_Obj* obj) {
  return !is_number(obj) && length_of(obj) > NUMBER_TEXT_CAP;
}

Tcl_WideInt wide_or_zero(Tcl_Obj* obj) {
  Tcl_WideInt value = 0;
  if (Tcl_GetWideIntFromObj(nullptr, obj, &value) != TCL_OK) return 0;
  return value;
}

double magnitude_bits(Tcl_Obj* obj) {
  Tcl_WideInt wide = 0;
  if (Tcl_GetWideIntFromObj(nullptr, obj, &wide) == TCL_OK)
    return wide == 0 ? -1 : std::log2(std::fabs(static_cast<double>(wide)));
  mp_int big;
  if (Tcl_GetBignumFromObj(nullptr, obj, &big) != TCL_OK) return NAN;
  const double bits = mp_count_bits(&big);
  mp_clear(&big);
  return bits;
}

int call(const Tcl_CmdInfo& builtin, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  return builtin.objProc(builtin.objClientData, interpreter, objc, objv);
}

bool take_builtin(Tcl_Interp* interpreter, const std::string& name, Tcl_CmdInfo* info) {
  std::string hidden = "ipc_builtin" + name;
  std::replace(hidden.begin(), hidden.end(), ':', '_');
  const std::string script = "rename " + name + " ::" + hidden;
  if (Tcl_EvalEx(interpreter, script.c_str(), -1, TCL_EVAL_GLOBAL) != TCL_OK ||
      Tcl_GetCommandInfo(interpreter, hidden.c_str(), info) == 0 || info->objProc == nullptr ||
      Tcl_HideCommand(interpreter, hidden.c_str(), hidden.c_str()) != TCL_OK) {
    Tcl_ResetResult(interpreter);
    return false;
  }
  return true;
}

}  // namespace tcl_caps

void ztcl_cap_child_commands(Tcl_Interp* interpreter) {
  using namespace tcl_caps;
  cap_text_commands(interpreter);
  cap_operators(interpreter);
  cap_expressions(interpreter);
  // The bytecode assembler would reach the operators uncapped.
  for (const char* name : UNSUPPORTED)
    Tcl_DeleteCommand(interpreter, (std::string("::tcl::unsupported::") + name).c_str());
}
