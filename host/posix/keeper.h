// The keeper: a process forked by the host that outlives it only to clean up after it. The host
// lists each child's process group and each FIFO it makes with the keeper over a socket only the
// host holds; once that socket ends (the host exited or was killed, SIGKILL included) the keeper
// kills the groups still listed, removes the FIFOs with their directories, and exits.
#pragma once

#include <sys/types.h>

// What the host tells the keeper: one record per message.
enum class KEEPER_ORDER : int { ADD_GROUP = 1, DROP_GROUP, ADD_FIFO, DROP_FIFO };

struct KEEPER_RECORD {
  KEEPER_ORDER order;
  pid_t group;     // ADD_GROUP, DROP_GROUP
  char path[256];  // ADD_FIFO, DROP_FIFO: the FIFO in its private directory
};

// Starts the keeper unless it runs already; 0, or the errno of the failed step (*step names it).
int keeper_start(const char** step);

// The host's end of the keeper's socket, for a starting child to list its own group with a raw
// send (MSG_NOSIGNAL); -1 before keeper_start succeeded.
int keeper_socket();

// Lists or unlists a group or a FIFO; 0 or the errno (0 as well when no keeper was started).
// Async-signal-safe; never raises SIGPIPE.
int keeper_tell(KEEPER_ORDER order, pid_t group, const char* path = nullptr);

// At the host's normal end: lets the keeper do its cleanup now and reaps it, so that no zombie of
// it is left to a parent that may never reap. Every later start fails to list its group.
void keeper_finish();
