// Caps on the commands of a safe child interpreter that could compute or allocate without bound in
// one C call, which no time limit can cut short: texts and lists made from a count or a width,
// and the integer operators that grow a number (**, *, <<), in expressions and as commands.
// Each wrapper checks its words and hands them to the built-in; a refusal is a Tcl error.
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

namespace {

constexpr Tcl_WideInt RESULT_CAP_BYTES = 16 << 20;
// Converting an integer to text or back takes time quadratic in its size; at 65536 bits (19,729
// digits) that is milliseconds, at a million bits it is minutes.
constexpr double INTEGER_CAP_BITS = 65536;
constexpr int NUMBER_TEXT_CAP = 20000;  // a longer text is no integer within the cap

constexpr const char* UNSUPPORTED[] = {"assemble", "disassemble", "getbytecode", "representation",
                                       "inject",   "corotype",    "timerate"};

int refuse(Tcl_Interp* interpreter, const std::string& what, const char* limit) {
  const std::string text = what + " refused: the result would exceed " + limit;
  Tcl_SetObjResult(interpreter, Tcl_NewStringObj(text.c_str(), -1));
  Tcl_SetErrorCode(interpreter, "IPC", "CAP", nullptr);
  return TCL_ERROR;
}

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

// count * size > RESULT_CAP_BYTES, without overflow.
bool exceeds(Tcl_WideInt count, Tcl_WideInt size) {
  return count > 0 && size > 0 && count > RESULT_CAP_BYTES / size;
}

bool is_number(const Tcl_Obj* obj) {
  static const Tcl_ObjType* const types[] = {Tcl_GetObjType("int"), Tcl_GetObjType("wideInt"),
                                             Tcl_GetObjType("bignum"), Tcl_GetObjType("double")};
  return obj->typePtr != nullptr &&
         std::find(std::begin(types), std::end(types), obj->typePtr) != std::end(types);
}

// A long text not yet a number would take time quadratic in its length to become one.
bool too_long_for_a_number(Tcl_Obj* obj) {
  return !is_number(obj) && length_of(obj) > NUMBER_TEXT_CAP;
}

// The obj's value when it is an integer of 64 bits, else 0 (the built-in judges it).
Tcl_WideInt wide_or_zero(Tcl_Obj* obj) {
  Tcl_WideInt value = 0;
  if (Tcl_GetWideIntFromObj(nullptr, obj, &value) != TCL_OK) return 0;
  return value;
}

// log2 of the integer's magnitude (-1 for zero), or NAN when obj is no integer.
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

// --- Commands checked before the built-in runs ---------------------------------------------

using CHECK = int (*)(Tcl_Interp*, int objc, Tcl_Obj* const objv[]);

struct WRAPPED {
  Tcl_CmdInfo builtin;
  CHECK check;
};

int call(const Tcl_CmdInfo& builtin, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  return builtin.objProc(builtin.objClientData, interpreter, objc, objv);
}

int checked_command(ClientData data, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  const WRAPPED& wrapped = *static_cast<WRAPPED*>(data);
  if (wrapped.check(interpreter, objc, objv) != TCL_OK) return TCL_ERROR;
  return call(wrapped.builtin, interpreter, objc, objv);
}

void delete_wrapped(ClientData data) { delete static_cast<WRAPPED*>(data); }

// Moves the built-in name out of the child's reach, hidden but alive (its data lives with it),
// and gives how to call it. A command of ours in its place is never compiled inline, so compiled
// code meets the cap too.
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

// regsub ?SWITCHES? EXP TEXT SUBSPEC ?VARNAME?: each match adds SUBSPEC, each & or \N in it
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
  const std::string_view spec = Tcl_GetString(objv[i + 2]);
  Tcl_WideInt copies = 1 + std::count(spec.begin(), spec.end(), '&');
  for (size_t at = spec.find('\\'); at != std::string_view::npos; at = spec.find('\\', at + 2))
    copies += at + 1 < spec.size() && std::isdigit(static_cast<unsigned char>(spec[at + 1]));
  const Tcl_WideInt matches = all ? text + 1 : 1;
  if (exceeds(text, copies) || exceeds(matches, static_cast<Tcl_WideInt>(spec.size())) ||
      text * copies + matches * static_cast<Tcl_WideInt>(spec.size()) > RESULT_CAP_BYTES)
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

void cap_operators(Tcl_Interp* interpreter) {
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

void cap_expressions(Tcl_Interp* interpreter) {
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

void ztcl_cap_child_commands(Tcl_Interp* interpreter) {
  const std::pair<const char*, CHECK> checked[] = {{"::tcl::string::repeat", check_string_repeat},
                                                   {"::tcl::string::map", check_string_map},
                                                   {"lrepeat", check_lrepeat},
                                                   {"join", check_join},
                                                   {"regsub", check_regsub},
                                                   {"format", check_format},
                                                   {"::tcl::binary::format", check_binary_format}};
  for (const auto& [name, check] : checked) wrap(interpreter, name, checked_command, check);
  cap_operators(interpreter);
  cap_expressions(interpreter);
  // The bytecode assembler would reach the operators uncapped.
  for (const char* name : UNSUPPORTED)
    Tcl_DeleteCommand(interpreter, (std::string("::tcl::unsupported::") + name).c_str());
}
