// Tcl commands ipc_run adds to the host interpreter for its children and --eval scripts.
#pragma once

class IPC_COMMAND;

// ipc_send TEXT: broadcasts TEXT through the named pipes of running commands; 1 or 0. The
// command exists while this object lives, so no script can reach a command object that is gone.
class SCOPED_IPC_SEND {
 public:
  explicit SCOPED_IPC_SEND(IPC_COMMAND& command);
  ~SCOPED_IPC_SEND();
  SCOPED_IPC_SEND(const SCOPED_IPC_SEND&) = delete;
  SCOPED_IPC_SEND& operator=(const SCOPED_IPC_SEND&) = delete;
};
