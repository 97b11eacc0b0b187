// The children this host started and has not reaped yet. Ids outside the table are refused, so
// a stale id never reaches a process that reused its number. Terminated and forgotten children
// are reaped by a background reaper, so none stays a zombie.
#pragma once

#include <sys/types.h>

constexpr int CHILD_TABLE_SIZE = 1024;

// Starts the thread that reaps ended children unless it runs; 0 or the errno.
int child_table_start_reaper();
// Reserves a place for a child about to start; -1 when the table is full.
int child_table_reserve();
// Enters the started child in the reserved place, which becomes live.
void child_table_fill(int place, pid_t pid);
// Gives a reserved place back when the child could not be started.
void child_table_unreserve(int place);
// Brackets a start from before its clone until it is filled in, with every signal of the calling
// thread blocked; false (nothing to end) once child_table_terminate_all has run.
bool child_table_begin_start();
void child_table_end_start();

// -1 when pid is not a waitable child of ours; 0 while it runs (only when no_hang); 1 when it
// ended: *raw_status filled and the child forgotten.
int child_table_wait(pid_t pid, int* raw_status, bool no_hang);

// SIGKILL to the child's process group (and to the child itself, should it have left the group);
// no wait. It stays waitable for a grace period, then the reaper collects it. 0 on success, -1
// when pid is not one of ours. Async-signal-safe: no locks, no allocation.
int child_table_terminate(pid_t pid);

// Forgets the child: no wait will collect it, the reaper reaps it once it ends.
void child_table_forget(pid_t pid);

// SIGKILL to every child not yet reaped and to its process group, also to a group whose leader
// was reaped while it had other members (kept until found empty, so that its number cannot have
// been reused), after any start in progress is in the table; no child starts from then on.
// Async-signal-safe.
void child_table_terminate_all();

// True when the child last started on the calling thread has ended (reaped or not); false when
// it runs or the thread started none.
bool child_table_last_started_has_ended();
