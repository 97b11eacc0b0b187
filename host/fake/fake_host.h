// The scripted fake host: the process, named-pipe and GUI services of host/thr_process.h,
// host/thr_named_pipe.h and host/thr_gui.h answered from one script instead of the OS, so tests
// get faults on demand and no real time passes. Tests drive the library on the scripting thread.
// Every call is appended to the log as one entry:
//   "create 'prog -x' 'cwd=/d' joined" (stderr joined|separate|none)  "peek 3"  "read 3 1024"
//   "write 4 'hi'"  "wait 7 nohang"  "terminate 7 0 1" (status, exit code)  "close_handle 7"
//   "close_pipe 3"  "system 'cmd'"  "sleep 200"  "pump"  "win32_pump 250"
//   named pipes: "new NAME"  "make_pipe"  "+NAME" (connect, either end)  "NAME?" (read)
//   "NAME<TEXT" (write)  "remove NAME"  "delete NAME"
// Unscripted, everything succeeds: a create gives pid 7, output pipe 3 and stdin pipe 4 (a failing
// one ENOENT), wait reports ended {0, 0}, a named pipe reads nothing, and the n-th make_pipe
// since the reset names its pipe "pipeN".
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/thr_process.h"

namespace fake_host {

// An answer of thr_process_wait: -1 unreachable, 0 running, else ended with code.
struct WAIT {
  int result;
  THR_PROCESS_EXIT_CODE code;
};

struct SCRIPT {
  std::vector<std::string> log;
  // The next call whose log entry starts with one of these fails; each entry serves once.
  std::multiset<std::string> fail;
  // The output pipe, one entry per peek: its bytes are reported waiting and handed out by the
  // reads that follow, at most their capacity each ("": nothing waiting). Used up: the end.
  std::deque<std::string> output;
  std::deque<WAIT> waits{{1, {0, 0}}};                        // used in order, the last one repeats
  std::map<std::string, std::deque<std::string>> pipe_reads;  // one entry per read, "": nothing
  int32_t system_status = 0;
  int events_served = 0;  // what thr_qt_process_events returns
  bool win32 = false;
  int pipes_made = 0;
  // Runs right after each call is logged, before it is answered; calls it makes are logged only.
  std::function<void(const std::string& entry)> on_call;
};

// The script in force; `fake_host::script() = {};` resets it.
SCRIPT& script();
// THR_NAMED_PIPE objects alive; they outlive resets.
inline int live_pipes = 0;

// Logs the call and runs on_call; true when the script makes the call fail.
bool fails(const std::string& entry);

}  // namespace fake_host
