// Tcl commands ipc_run adds to the host interpreter for its children and --eval scripts.
#include "tools/ipc_run/tcl_commands.h"

#include <tcl.h>

#include "host/ztcl.h"
#include "ipc/ipc_command.h"

namespace {

constexpr const char* IPC_SEND = "ipc_send";

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

SCOPED_IPC_SEND::SCOPED_IPC_SEND(IPC_COMMAND& command) {
  ztcl_create_command(IPC_SEND, ipc_send_command, &command);
}

SCOPED_IPC_SEND::~SCOPED_IPC_SEND() { ztcl_delete_command(IPC_SEND); }
