// Progress reports of a child: the host command "ipc_progress DONE TOTAL ?TEXT?".
#include "services/progress.h"

#include <tcl.h>

#include <utility>

#include "host/common/tcl_text.h"
#include "host/ztcl.h"

namespace {

constexpr const char* IPC_PROGRESS = "ipc_progress";

bool parse_count(Tcl_Interp* interpreter, Tcl_Obj* word, long* value) {
  return Tcl_GetLongFromObj(interpreter, word, value) == TCL_OK && *value >= 0;
}

int ipc_progress_command(ClientData data, Tcl_Interp* interpreter, int objc,
                         Tcl_Obj* const objv[]) {
  if (objc != 3 && objc != 4) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "DONE TOTAL ?TEXT?");
    return TCL_ERROR;
  }
  long done = 0;
  long total = 0;
  if (!parse_count(interpreter, objv[1], &done) || !parse_count(interpreter, objv[2], &total)) {
    Tcl_SetObjResult(interpreter, Tcl_NewStringObj("DONE and TOTAL must be counts", -1));
    return TCL_ERROR;
  }
  const auto& handler = *static_cast<HOST_PROGRESS_HANDLER*>(data);
  handler(done, total, objc == 4 ? host_text_of(objv[3]) : std::string());
  return TCL_OK;
}

}  // namespace

SCOPED_PROGRESS_COMMAND::SCOPED_PROGRESS_COMMAND(HOST_PROGRESS_HANDLER handler)
    : m_handler(std::move(handler)) {
  ztcl_create_command(IPC_PROGRESS, ipc_progress_command, &m_handler);
}

SCOPED_PROGRESS_COMMAND::~SCOPED_PROGRESS_COMMAND() { ztcl_delete_command(IPC_PROGRESS); }
