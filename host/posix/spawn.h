// Starting a child the way every child of this host starts: in its own process group, with
// default signal dispositions and an empty mask, no descriptor of the host beyond its planned
// standard ones, and killed should the host die first.
#pragma once

#include <sys/types.h>

// A standard descriptor of the child: one of ours moved there, /dev/null, or the host's own.
constexpr int SPAWN_INHERIT = -1;
constexpr int SPAWN_NULL = -2;

struct SPAWN_PLAN {
  int standard[3] = {SPAWN_INHERIT, SPAWN_INHERIT, SPAWN_INHERIT};
  int directory_fd = -1;               // an open directory to start in; -1: the host's
  char* const* environment = nullptr;  // null: the host's
};

// Starts argv[0] (looked up in PATH) and enters it in the child table before any signal of the
// host can run. 0 with *pid once the program runs, else the errno of the failed step (nothing is
// left running then). The child gets SIGKILL when the calling thread ends, so start children
// from threads that outlive them.
int spawn_process(char* const argv[], const SPAWN_PLAN& plan, pid_t* pid);
