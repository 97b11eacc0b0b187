// Scripting and queries of the fake host: the process, named-pipe and GUI services of
// host/thr_process.h, host/thr_named_pipe.h and host/thr_gui.h, answered from scripts instead of
// the OS, so tests can produce faults on demand, deterministically and without real time passing.
//
// Every call into the fake services is appended to one ordered log (calls()), e.g.
//   "create cmd='prog a' option='' stderr=joined"   stderr=joined|separate|none
//   "peek 3"  "read 3 cap=1024"  "write 4 'text'"  "close_pipe 3"
//   "wait 7 nohang=1"  "terminate 7 status=0 exit_code=1"  "close_handle 7"
//   "system 'cmd'"  "sleep 200"  "pump"  "win32_pump 250"
//   "pipe_new NAME"  "pipe_create"  "pipe_connect NAME"  "pipe_connect_r NAME"
//   "pipe_read NAME"  "pipe_write NAME 'text'"  "pipe_remove NAME"  "pipe_delete NAME"
// Queries without side effects (thr_getpid, thr_win32_is) are not logged.
//
// Unscripted defaults: a create succeeds with pid 7, output pipe 3 and stdin pipe 4; an output
// pipe whose queue is empty is at its end (peek fails); wait reports "ended" with {0, 0};
// terminate, stdin writes and thr_system succeed (status 0); thr_qt_process_events returns 0;
// named pipes create, connect and write fine and read 0 bytes. The n-th create() after reset()
// names its pipe "/fake/pipeN", so tests can script a pipe the library will create before it
// exists. As with real pipes, read and write fail (EBADF) before a connect.
//
// All state sits behind one mutex; hooks run outside it and may call back into this API and the
// fake services (those calls are logged but start no further hooks).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/thr_process.h"

namespace fake_host {

// Forgets every script, log entry, counter, hook and pipe record; call it at the start of a test.
void reset();

// ---- Call log ------------------------------------------------------------------------------

// Every logged call since reset(), oldest first.
std::vector<std::string> calls();
// The logged calls that start with prefix, oldest first.
std::vector<std::string> calls_with_prefix(const std::string& prefix);
// How many logged calls start with prefix ("sleep", "peek 3", "terminate 7", "pipe_write /f");
// mind that "pipe_connect" also matches "pipe_connect_r".
int count(const std::string& prefix);
// The milliseconds passed to each thr_msleep, in order.
std::vector<int> sleeps();
// Virtual time: the sum of the positive sleeps since reset().
int64_t clock_ms();

// ---- Process creation ----------------------------------------------------------------------

// The next thr_process_create2 fails with THR_ERROR(program, os_error).
void fail_create(const std::string& program, int os_error);

// What the last thr_process_create2 was given.
struct CREATE_CALL {
  std::string command_line;
  std::string option;
  bool stderr_joined = false;    // stderr_pipe pointed at the output handle
  bool stderr_separate = false;  // stderr_pipe was another non-null pointer
};
CREATE_CALL last_create();

// ---- Output pipes --------------------------------------------------------------------------

// One step of an output pipe's queue, consumed by peek and read.
struct OUTPUT_STEP {
  int peek_status = 0;      // what peek returns
  bool has_bytes = false;   // peek reports bytes.size() (or fake_count) waiting
  std::string bytes;        // what reads hand out, in pieces of at most the capacity
  uint32_t fake_count = 0;  // count reported when read_fails
  bool read_fails = false;  // the read after the peek fails with count 0
  bool sticky = false;      // peek leaves the step in place (end of output)
};
// Bytes waiting: peek 0 with their count; reads take them (several reads if over capacity).
OUTPUT_STEP chunk(const std::string& bytes);
// One peek returns 0 with count 0.
OUTPUT_STEP nothing_now();
// Peek fails with count 0 from now on: the write end is closed.
OUTPUT_STEP end_of_output();
// Peek returns 0 reporting count bytes, then the read fails.
OUTPUT_STEP read_failure(uint32_t count);
// Peek fails yet reports the bytes waiting; the read then hands them out successfully.
OUTPUT_STEP failing_peek_with(const std::string& bytes);

// Appends steps to the queue of an output pipe.
void push_output(unsigned long pipe, const OUTPUT_STEP& step);
void push_output(unsigned long pipe, const std::vector<OUTPUT_STEP>& steps);

// ---- Child state, stdin, shell -------------------------------------------------------------

// One answer of thr_process_wait.
struct WAIT_RESULT {
  int result = 0;                    // -1 unreachable, 0 running, else ended
  THR_PROCESS_EXIT_CODE code{0, 0};  // written to the caller's record when ended
};
WAIT_RESULT running();
WAIT_RESULT ended(int32_t status, int32_t exit_code);
WAIT_RESULT unreachable();
// Appends answers. Used in order; once used up the last one repeats until more are pushed
// (the same holds for the other push_ queues of answers below).
void push_wait(const WAIT_RESULT& result, int times = 1);

// Appends results of thr_process_terminate (0 success); the last one repeats.
void push_terminate(int result);
// Everything written to a stdin pipe, concatenated.
std::string stdin_written(unsigned long pipe);
// Appends raw wait statuses thr_system returns; the last one repeats.
void push_system(int32_t status);

void set_win32(bool windows);

// ---- GUI -----------------------------------------------------------------------------------

// What thr_qt_process_events returns from now on.
void set_process_events_result(int result);

// ---- Named pipes ---------------------------------------------------------------------------

// The n-th create() (1-based) fails; its name is then never assigned.
void fail_pipe_create(int n);
void fail_pipe_connect(const std::string& name);
void fail_pipe_connect_r(const std::string& name);
// Appends to a pipe's read queue: bytes, nothing waiting (0), or a failure (-1, error_status
// set). An empty queue reads 0.
void push_pipe_read(const std::string& name, const std::string& bytes);
void push_pipe_read_nothing(const std::string& name);
void push_pipe_read_failure(const std::string& name);
// Appends results of write: true ok, false fails with -1 and error_status set. The queue is
// used up call by call; once empty, writes succeed.
void push_pipe_write(const std::string& name, bool ok);
// THR_NAMED_PIPE objects currently alive.
int live_pipe_objects();

// ---- Hooks ---------------------------------------------------------------------------------

// Runs at the start of every logged call, right after its entry was logged and before it is
// answered, so a hook can react to a call ("terminate 7 ...": end the output) or re-script it.
void on_call(std::function<void(const std::string& entry)> hook);
// Runs after each thr_msleep with its 1-based index and milliseconds.
void on_sleep(std::function<void(int index, int milliseconds)> hook);
// Runs at the start of each thr_process_wait with its 1-based index, before the answer is taken.
void on_wait(std::function<void(int index)> hook);

}  // namespace fake_host
