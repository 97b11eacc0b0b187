// Starting a child the way every child of this host starts: in its own process group, with
// default signal dispositions and an empty mask, no descriptor of the host beyond its planned
// standard ones, and its group listed with the keeper, which kills it should the host die first.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A standard descriptor of the child: one of ours moved there, /dev/null, or the host's own.
constexpr int SPAWN_INHERIT = -1;
constexpr int SPAWN_NULL = -2;

struct SPAWN_PLAN {
  int standard[3] = {SPAWN_INHERIT, SPAWN_INHERIT, SPAWN_INHERIT};
  int directory_fd = -1;               // an open directory to start in; -1: the host's
  char* const* environment = nullptr;  // null: the host's
};

// The step of a start that failed.
enum class SPAWN_STEP {
  TABLE_FULL,
  ENDING,  // the host ended its children: none starts any more
  REAPER,
  KEEPER,
  CLONE,
  GROUP,
  DIRECTORY,
  NULL_DEVICE,
  DUP2,
  EXEC
};

// Why a start failed. For an exec that found a script whose "#!" interpreter does not exist,
// that interpreter.
struct SPAWN_FAILURE {
  SPAWN_STEP step = SPAWN_STEP::EXEC;
  int error = 0;
  int descriptor = -1;  // the standard descriptor being set up (NULL_DEVICE, DUP2)
  std::string detail;   // what failed with the keeper (KEEPER)
  std::string missing_interpreter;
};

// The failure for a message after the program's name: the step and its errno text, e.g.
// "dup2 onto standard output failed: Bad file descriptor"; for an exec the errno text alone, or
// the missing interpreter.
std::string spawn_failure_text(const SPAWN_FAILURE& failure);

// The errno text, with the limit that was hit when it names one, e.g. "Resource temporarily
// unavailable (too many processes: ulimit -u is 4)".
std::string os_error_text(int error);

// The interpreter named by the "#!" line of the first candidate that exists, when that interpreter
// does not: why exec finds no such file although the program is there. "" otherwise.
std::string spawn_missing_interpreter(const std::vector<std::string>& candidates, int directory_fd);

// Starts argv[0] (looked up in PATH) and enters it in the child table before any signal of the
// host can run. 0 with *pid once the program runs, else the errno of the failed step (nothing is
// left running then), with *failure filled when given. The child outlives the thread that started
// it, not the host.
int spawn_process(char* const argv[], const SPAWN_PLAN& plan, pid_t* pid,
                  SPAWN_FAILURE* failure = nullptr);
