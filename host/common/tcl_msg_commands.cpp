// The host's Tcl commands of the message service: what a child (or a host script) calls to post
// messages, report an internal error, echo a prompt and write debug text.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "host/common/host_internal.h"
#include "host/common/tcl_text.h"
#include "host/msg.h"
#include "host/ztcl.h"

bool host_parse_severity(const char* text, MSG_KIND* kind) {
  if (strcasecmp(text, "error") == 0 || strcasecmp(text, "e") == 0) {
    *kind = MSG_KIND::ERROR;
  } else if (strcasecmp(text, "warning") == 0 || strcasecmp(text, "w") == 0) {
    *kind = MSG_KIND::WARNING;
  } else if (strcasecmp(text, "info") == 0 || strcasecmp(text, "i") == 0) {
    *kind = MSG_KIND::INFO;
  } else {
    return false;
  }
  return true;
}

void host_post_message_text(MSG_KIND kind, unsigned id, std::string text, MSG_REPORT* report) {
  if (msg_suppressed(kind, id)) return;
  msg_deliver_record(MSG_RECORD{kind, id, std::move(text), std::string()}, report);
}

namespace {

int tcl_error(Tcl_Interp* interpreter, const std::string& text) {
  Tcl_SetObjResult(interpreter, Tcl_NewStringObj(text.c_str(), -1));
  return TCL_ERROR;
}

// REPORT is "0" (or a null handle) for the default sink, else the text of a live report.
bool find_report(Tcl_Interp* interpreter, const char* command, Tcl_Obj* word, MSG_REPORT** report) {
  const char* text = Tcl_GetString(word);
  *report = nullptr;
  if (std::string(text) == "0") return true;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 16);
  bool is_handle = text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && *end == '\0' &&
                   errno == 0 && end != text + 2;
  if (is_handle && value == 0) return true;
  const void* handle = reinterpret_cast<const void*>(static_cast<uintptr_t>(value));
  // Another run's report is refused as if it were dead: a child learns nothing of it.
  if (is_handle && ztcl_child_may_name_report(interpreter, handle))
    *report = MSG_REPORT::find_live(handle);
  if (*report == nullptr) {
    tcl_error(interpreter, std::string(command) + ": no live report \"" + text + "\"");
    return false;
  }
  return true;
}

// msg_post REPORT SEVERITY ?ID? TEXT
int msg_post_command(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc != 4 && objc != 5) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "REPORT SEVERITY ?ID? TEXT");
    return TCL_ERROR;
  }
  MSG_REPORT* report = nullptr;
  if (!find_report(interpreter, msg_tcl_post_cmd, objv[1], &report)) return TCL_ERROR;
  MSG_KIND kind = MSG_KIND::ERROR;
  if (!host_parse_severity(Tcl_GetString(objv[2]), &kind))
    return tcl_error(interpreter, std::string(msg_tcl_post_cmd) + ": bad severity \"" +
                                      Tcl_GetString(objv[2]) +
                                      "\": must be error, warning, info, E, W or I");
  Tcl_WideInt id = 0;
  if (objc == 5 && (Tcl_GetWideIntFromObj(nullptr, objv[3], &id) != TCL_OK || id < 0 ||
                    id > static_cast<Tcl_WideInt>(UINT32_MAX)))
    return tcl_error(interpreter, std::string(msg_tcl_post_cmd) + ": bad message id \"" +
                                      Tcl_GetString(objv[3]) + "\"");
  host_post_message_text(kind, static_cast<unsigned>(id), host_text_of(objv[objc - 1]), report);
  return TCL_OK;
}

// msg_internal_error REPORT TEXT: a record only; the host goes on.
int msg_internal_error_command(ClientData, Tcl_Interp* interpreter, int objc,
                               Tcl_Obj* const objv[]) {
  if (objc != 3) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "REPORT TEXT");
    return TCL_ERROR;
  }
  MSG_REPORT* report = nullptr;
  if (!find_report(interpreter, msg_tcl_ie_cmd, objv[1], &report)) return TCL_ERROR;
  msg_post(BRANTOR_ERROR_MESSAGE(host_text_of(objv[2])), true, report);
  return TCL_OK;
}

// msg_tcl_puts TEXT: the text as it is, no newline added.
int msg_tcl_puts_command(ClientData, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc != 2) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "TEXT");
    return TCL_ERROR;
  }
  const std::string text = host_text_of(objv[1]);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return TCL_OK;
}

// Debug: ?WORD ...?: the child's debug text.
int debug_command(ClientData, Tcl_Interp*, int objc, Tcl_Obj* const objv[]) {
  std::string text;
  for (int i = 1; i < objc; ++i) {
    if (i > 1) text += ' ';
    text += host_text_of(objv[i]);
  }
  host_debug_text("CHILD", text);
  return TCL_OK;
}

}  // namespace

void host_create_message_commands() {
  ztcl_create_command(msg_tcl_post_cmd, msg_post_command, nullptr);
  ztcl_create_command(msg_tcl_ie_cmd, msg_internal_error_command, nullptr);
  ztcl_create_command("msg_tcl_puts", msg_tcl_puts_command, nullptr);
  ztcl_create_command("Debug:", debug_command, nullptr);
}

bool host_offers_own_msg_post(Tcl_Interp* interpreter) {
  // A name object keeps Tcl's resolution of the command until a command changes anywhere, so the
  // common line pays no namespace lookup. One per thread: Tcl objects never cross threads.
  thread_local Tcl_Obj* const name = [] {
    Tcl_Obj* object = Tcl_NewStringObj(msg_tcl_post_cmd, -1);
    Tcl_IncrRefCount(object);
    return object;
  }();
  Tcl_CmdInfo info;
  const Tcl_Command command = Tcl_GetCommandFromObj(interpreter, name);
  return command != nullptr && Tcl_GetCommandInfoFromToken(command, &info) != 0 &&
         info.objProc == msg_post_command;
}
