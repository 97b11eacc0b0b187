// A child line that failed, and lines and exposed commands evaluated for a run off the trusted
// thread: what reaches the thread's observer, and what the child may read back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "host/common/host_internal.h"
#include "host/common/tcl_bridge.h"
#include "host/msg.h"

namespace {

// The live report handle the library put after a message command at the script's start, or "".
std::string inserted_handle(const std::string& script) {
  for (const char* command : {msg_tcl_post_cmd, msg_tcl_ie_cmd}) {
    const size_t length = std::strlen(command);
    if (script.compare(0, length, command) != 0 || script.compare(length, 3, " 0x") != 0) continue;
    const size_t end = script.find_first_of(" \t", length + 1);
    const std::string handle = script.substr(length + 1, end - length - 1);
    const uintptr_t value = std::strtoull(handle.c_str(), nullptr, 16);
    return MSG_REPORT::find_live(reinterpret_cast<const void*>(value)) ? handle : "";
  }
  return "";
}

std::string without_handle(std::string text, const std::string& handle) {
  for (size_t at = text.find(handle); at != std::string::npos; at = text.find(handle, at + 1))
    text.replace(at, handle.size(), "0");
  return text;
}

Tcl_Obj* new_string(const std::string& text) {
  return Tcl_NewStringObj(text.data(), static_cast<int>(text.size()));
}

// A failed line leaves its text in errorInfo, errorCode and the error stack, where the child's
// next line could read the report handle: there it becomes 0 again.
void scrub_handle(Tcl_Interp* interpreter, const std::string& handle) {
  Tcl_Obj* options = Tcl_GetReturnOptions(interpreter, TCL_ERROR);
  Tcl_IncrRefCount(options);
  Tcl_Obj* clean = new_string(without_handle(Tcl_GetString(options), handle));
  Tcl_IncrRefCount(clean);
  Tcl_DecrRefCount(options);
  Tcl_Obj* result = Tcl_GetObjResult(interpreter);
  Tcl_IncrRefCount(result);
  Tcl_SetReturnOptions(interpreter, clean);
  for (const char* name : {"errorInfo", "errorCode"}) {
    const char* value = Tcl_GetVar2(interpreter, name, nullptr, TCL_GLOBAL_ONLY);
    if (value != nullptr && std::strstr(value, handle.c_str()) != nullptr)
      Tcl_SetVar2Ex(interpreter, name, nullptr, new_string(without_handle(value, handle)),
                    TCL_GLOBAL_ONLY);
  }
  Tcl_SetObjResult(interpreter, result);
  Tcl_DecrRefCount(result);
  Tcl_DecrRefCount(clean);
}

}  // namespace

void report_error(Tcl_Interp* interpreter, const std::string& script) {
  const std::string handle = inserted_handle(script);
  if (!handle.empty()) scrub_handle(interpreter, handle);
  if (ztcl_thread_observer != nullptr) {
    std::string shown(script.c_str());
    if (!handle.empty()) shown.replace(shown.find(handle), handle.size(), "0");
    ztcl_thread_observer->line_failed(Tcl_GetStringResult(interpreter), shown);
    return;
  }
  const char* info = Tcl_GetVar2(interpreter, "errorInfo", nullptr, TCL_GLOBAL_ONLY);
  host_debug_text("TCL", std::string("Tcl error: ") +
                             (info != nullptr ? info : Tcl_GetStringResult(interpreter)));
}

// The call, its words quoted as a list.

int forwarded_command(ClientData data, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  const auto& command = *static_cast<FORWARDED_COMMAND*>(data);
  Tcl_Obj* call = Tcl_NewListObj(0, nullptr);
  Tcl_IncrRefCount(call);
  Tcl_ListObjAppendElement(nullptr, call, new_string(command.name));
  for (int i = 1; i < objc; ++i) Tcl_ListObjAppendElement(nullptr, call, objv[i]);
  std::string result;
  const int code = command.forwarder->evaluate_trusted(Tcl_GetString(call), &result);
  Tcl_DecrRefCount(call);
  Tcl_SetObjResult(interpreter, new_string(result));
  return code == TCL_ERROR ? TCL_ERROR : TCL_OK;
}

int forward_line(ZTCL_TRUSTED_FORWARDER* forwarder, const std::string& script,
                 std::string* result) {
  std::string text;
  const int code = forwarder->evaluate_trusted(std::string(script.c_str()), &text);
  if (code == TCL_ERROR) {
    if (ztcl_thread_observer != nullptr)
      ztcl_thread_observer->line_failed(text, script.c_str());
    else
      host_debug_text("TCL", "Tcl error: " + text);
  }
  if (result != nullptr) *result = std::move(text);
  return code;
}
