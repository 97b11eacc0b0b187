#include "ipc/ipc_command.h"

THR_MUTEX_OBJ ipc_command_global_state_mutex;
THR_MUTEX_OBJ ipc_pipe_state_mutex;
std::vector<THR_NAMED_PIPE*> ipc_named_pipes;
