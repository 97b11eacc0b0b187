#include "tools/ipc_run/tcl_commands.h"

#include <tcl.h>

#include "host/ztcl.h"
#include "ipc/ipc_command.h"

namespace {

int ipc_send_command(ClientData data, Tcl_Interp* interpreter, int objc, Tcl_Obj* const objv[]) {
  if (objc != 2) {
    Tcl_WrongNumArgs(interpreter, 1, objv, "TEXT");
    return TCL_ERROR;
  }
  auto* command = static_cast<IPC_COMMAND*>(data);
  bool sent = command->send_through_pipe(Tcl_GetString(objv[1]));
  Tcl_SetObjResult(interpreter, Tcl_NewIntObj(sent ? 1 : 0));
  return TCL_OK;
}

}  // namespace

void register_ipc_send(IPC_COMMAND& command) {
  ztcl_create_command("ipc_send", ipc_send_command, &command);
}
