// Tcl commands ipc_run adds to the host interpreter for its children and --eval scripts.
#pragma once

class IPC_COMMAND;

// ipc_send TEXT: broadcasts TEXT through the named pipes of running commands; 1 or 0.
void register_ipc_send(IPC_COMMAND& command);
