// The caps on the integer operators that grow a number (**, *, <<): as tcl::mathop commands and
// math functions, and inside the expressions of expr, if, while and for, which are rewritten to
// call the capped functions.
#include <tcl.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "host/common/tcl_caps.h"

namespace tcl_caps {
namespace {

// --- Integer operators --------------------------------------------------------------------------

// TCL_OK when left OP right stays within the integer cap or is no integer operation at all (the
// built-in then computes a double or reports the error).
using GROWTH_CHECK = int (*)(Tcl_Interp*, Tcl_Obj* left, Tcl_Obj* right);

int operands_too_long(Tcl_Interp* interpreter, Tcl_Obj* left, Tcl_Obj* right, const char* what) {
  if (too_long_for_a_number(left) || too_long_for_a_number(right))
    return refuse_integer(interpreter, what);
  return TCL_OK;
}

int check_power(Tcl_Interp* interpreter, Tcl_Obj* base, Tcl_Obj* exponent) {
  if (operands_too_long(interpreter, base, exponent, "**") != TCL_OK) return TCL_ERROR;
  const double bits = magnitude_bits(base), exponent_bits = magnitude_bits(exponent);
  if (std::isnan(bits) || std::isnan(exponent_bits) || bits <= 0) return TCL_OK;  // 0, 1, -1
  const Tcl_WideInt power = wide_or_zero(exponent);
  if (exponent_bits > 62 || static_cast<double>(power) * bits > INTEGER_CAP_BITS)
    return refuse_integer(interpreter, "**");
  return TCL_OK;
}

int check_product(Tcl_Interp* interpreter, Tcl_Obj* left, Tcl_Obj* right) {
  if (operands_too_long(interpreter, left, right, "*") != TCL_OK) return TCL_ERROR;
  const double bits = magnitude_bits(left) + magnitude_bits(right);
  return bits > INTEGER_CAP_BITS ? refuse_integer(interpreter, "*") : TCL_OK;
}

int check_shift(Tcl_Interp* interpreter, Tcl_Obj* value, Tcl_Obj* shift) {
  if (operands_too_long(interpreter, value, shift, "<<") != TCL_OK) return TCL_ERROR;
  const double bits = magnitude_bits(value), shift_bits = magnitude_bits(shift);
  if (std::isnan(bits) || std::isnan(shift_bits) || bits < 0) return TCL_OK;
  if (shift_bits > 62 || bits + static_cast<double>(wide_or_zero(shift)) > INTEGER_CAP_BITS)
    return refuse_integer(interpreter, "<<");
  return TCL_OK;
}

struct OPERATOR {
  Tcl_CmdInfo builtin;  // the ::tcl::mathop command
  GROWTH_CHECK check;
  bool from_right;  // ** groups from the right
};

// The operator over its operands pairwise, each step checked; also serves as a math function.
int operator_command(ClientData data, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  const OPERATOR& op = *static_cast<OPERATOR*>(data);
  if (objc < 3) return call(op.builtin, interpreter, objc, objv);
  Tcl_Obj* value = objv[op.from_right ? objc - 1 : 1];
  Tcl_IncrRefCount(value);
  int code = TCL_OK;
  for (int step = 1; step < objc - 1 && code == TCL_OK; ++step) {
    Tcl_Obj* other = objv[op.from_right ? objc - 1 - step : 1 + step];
    Tcl_Obj* const pair[] = {objv[0], op.from_right ? other : value, op.from_right ? value : other};
    code = op.check(interpreter, pair[1], pair[2]);
    if (code == TCL_OK) code = call(op.builtin, interpreter, 3, pair);
    Tcl_DecrRefCount(value);
    value = Tcl_GetObjResult(interpreter);
    Tcl_IncrRefCount(value);
  }
  Tcl_DecrRefCount(value);
  return code;
}

void delete_operator(ClientData data) { delete static_cast<OPERATOR*>(data); }

struct GROWING_OPERATOR {
  const char* symbol;
  const char* function;  // the math function an expression's operator becomes
  GROWTH_CHECK check;
};

constexpr GROWING_OPERATOR GROWING[] = {{"**", "ipc_pow", check_power},
                                        {"*", "ipc_mul", check_product},
                                        {"<<", "ipc_shl", check_shift}};

void install_operator_caps(Tcl_Interp* interpreter) {
  for (const GROWING_OPERATOR& growing : GROWING) {
    const std::string name = std::string("::tcl::mathop::") + growing.symbol;
    Tcl_CmdInfo info;
    if (!take_builtin(interpreter, name, &info)) continue;
    const bool from_right = std::string_view(growing.symbol) == "**";
    Tcl_CreateObjCommand(interpreter, name.c_str(), operator_command,
                         new OPERATOR{info, growing.check, from_right}, delete_operator);
    const std::string function = std::string("::tcl::mathfunc::") + growing.function;
    Tcl_CreateObjCommand(interpreter, function.c_str(), operator_command,
                         new OPERATOR{info, growing.check, from_right}, delete_operator);
  }
}

// --- Expressions ----------------------------------------------------------------------------

const char* capped_function(const Tcl_Token& token) {
  const std::string_view symbol(token.start, token.size);
  for (const GROWING_OPERATOR& growing : GROWING)
    if (symbol == growing.symbol) return growing.function;
  return nullptr;
}

// Appends the sub-expression at tokens[index] with each growing operator turned into a call of
// its capped function; false when the parse does not look as expected.
bool rewrite(const Tcl_Token* tokens, int index, std::string& out) {
  const Tcl_Token& sub = tokens[index];
  const int end = index + 1 + sub.numComponents;
  if (sub.type != TCL_TOKEN_SUB_EXPR || sub.numComponents == 0 ||
      tokens[index + 1].type != TCL_TOKEN_OPERATOR) {
    out.append(sub.start, sub.size);
    return true;
  }
  std::vector<int> operands;
  for (int i = index + 2; i < end; i += 1 + tokens[i].numComponents) operands.push_back(i);
  const char* function = capped_function(tokens[index + 1]);
  if (function != nullptr && operands.size() == 2) {
    out.append(function).append("((");
    const bool left = rewrite(tokens, operands[0], out);
    out.append("),(");
    const bool right = rewrite(tokens, operands[1], out);
    out.append("))");
    return left && right;
  }
  const char* at = sub.start;
  for (int i : operands) {
    if (tokens[i].start < at) return false;
    out.append(at, tokens[i].start - at);
    if (!rewrite(tokens, i, out)) return false;
    at = tokens[i].start + tokens[i].size;
  }
  out.append(at, sub.start + sub.size - at);
  return true;
}

bool may_grow(Tcl_Obj* expression) {
  int length = 0;
  const char* start = Tcl_GetStringFromObj(expression, &length);
  const std::string_view text(start, length);
  return text.find('*') != std::string_view::npos || text.find("<<") != std::string_view::npos;
}

// The expression with its growing operators capped (a new object), or null with an error set.
Tcl_Obj* capped_expression(Tcl_Interp* interpreter, Tcl_Obj* expression) {
  int length = 0;
  const char* text = Tcl_GetStringFromObj(expression, &length);
  Tcl_Parse parse;
  if (Tcl_ParseExpr(nullptr, text, length, &parse) != TCL_OK) return expression;  // built-in says
  std::string out;
  const bool ok = rewrite(parse.tokenPtr, 0, out);
  Tcl_FreeParse(&parse);
  if (ok) return Tcl_NewStringObj(out.data(), static_cast<int>(out.size()));
  Tcl_SetObjResult(interpreter, Tcl_NewStringObj("expression refused: cannot cap it", -1));
  return nullptr;
}

enum class EXPRESSION_WORDS { EXPR, IF, WHILE, FOR };

struct EXPRESSION_COMMAND {
  Tcl_CmdInfo builtin;
  EXPRESSION_WORDS words;
};

// Calls visit with the index of each word of the command that is an expression.
template <typename VISIT>
void visit_expressions(EXPRESSION_WORDS words, int objc, Tcl_Obj* const objv[], VISIT visit) {
  if (words == EXPRESSION_WORDS::WHILE && objc > 1) visit(1);
  if (words == EXPRESSION_WORDS::FOR && objc > 2) visit(2);
  if (words != EXPRESSION_WORDS::IF) return;
  // if EXPR ?then? BODY ?elseif EXPR ?then? BODY ...? ?else? ?BODY?
  for (int i = 1; i < objc;) {
    visit(i++);
    if (i < objc && std::strcmp(Tcl_GetString(objv[i]), "then") == 0) ++i;
    if (++i >= objc || std::strcmp(Tcl_GetString(objv[i]), "elseif") != 0) return;
    ++i;
  }
}

int expression_command(ClientData data, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  const EXPRESSION_COMMAND& command = *static_cast<EXPRESSION_COMMAND*>(data);
  if (command.words == EXPRESSION_WORDS::EXPR && objc > 2) {
    Tcl_Obj* joined = Tcl_ConcatObj(objc - 1, objv + 1);
    Tcl_IncrRefCount(joined);
    Tcl_Obj* const words[] = {objv[0], joined};
    const int code = expression_command(data, interpreter, 2, words);
    Tcl_DecrRefCount(joined);
    return code;
  }
  std::vector<Tcl_Obj*> words;  // made only when an expression needs its cap
  bool refused = false;
  auto cap = [&](int i) {
    if (refused || !may_grow(objv[i])) return;
    Tcl_Obj* capped = capped_expression(interpreter, objv[i]);
    if (capped == nullptr) {
      refused = true;
      return;
    }
    if (words.empty()) words.assign(objv, objv + objc);
    words[i] = capped;
    Tcl_IncrRefCount(capped);
  };
  if (command.words == EXPRESSION_WORDS::EXPR) {
    if (objc == 2) cap(1);
  } else {
    visit_expressions(command.words, objc, objv, cap);
  }
  if (words.empty()) return refused ? TCL_ERROR : call(command.builtin, interpreter, objc, objv);
  const int code = refused ? TCL_ERROR : call(command.builtin, interpreter, objc, words.data());
  for (int i = 0; i < objc; ++i)
    if (words[i] != objv[i]) Tcl_DecrRefCount(words[i]);
  return code;
}

void delete_expression_command(ClientData data) { delete static_cast<EXPRESSION_COMMAND*>(data); }

void install_expression_caps(Tcl_Interp* interpreter) {
  const std::pair<const char*, EXPRESSION_WORDS> commands[] = {{"expr", EXPRESSION_WORDS::EXPR},
                                                               {"if", EXPRESSION_WORDS::IF},
                                                               {"while", EXPRESSION_WORDS::WHILE},
                                                               {"for", EXPRESSION_WORDS::FOR}};
  for (const auto& [name, words] : commands) {
    Tcl_CmdInfo info;
    if (!take_builtin(interpreter, name, &info)) continue;
    Tcl_CreateObjCommand(interpreter, name, expression_command, new EXPRESSION_COMMAND{info, words},
                         delete_expression_command);
  }
}

}  // namespace

void cap_operators(Tcl_Interp* interpreter) { install_operator_caps(interpreter); }

void cap_expressions(Tcl_Interp* interpreter) { install_expression_caps(interpreter); }

}  // namespace tcl_caps
