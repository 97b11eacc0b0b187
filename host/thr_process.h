// Process service: children with pipes, their wait status and their end.
#pragma once

#include <boost/outcome/std_result.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "host/brantor_error.h"

// Exit-code record of a child: raw wait status, then exit code.
struct THR_PROCESS_EXIT_CODE {
  int32_t status;
  int32_t exit_code;
};
static_assert(sizeof(THR_PROCESS_EXIT_CODE) == 8, "passed by value as one 64-bit value");

// Filled by process creation for the host's own bookkeeping; the library never reads it.
struct THR_SYS_FUNC_STAT_STRUCT {
  int32_t os_error;     // errno of the failed step, 0 on success
  int64_t spawn_nanos;  // monotonic time spent starting the child
};

// Why a process could not be created; yields the record the message service posts.
class THR_ERROR {
 public:
  THR_ERROR(std::string program, int os_error);
  virtual ~THR_ERROR();
  // A new error record naming the program and the OS reason; the caller owns it.
  virtual BRANTOR_ERROR_MESSAGE* make_error_message() const;
  // True when the program itself could not be executed (missing, not executable), not what
  // surrounds it (command line, option, directory, pipes).
  virtual bool is_exec_failure() const { return false; }
  const std::string& program() const { return m_program; }
  int os_error() const { return m_os_error; }

 private:
  std::string m_program;
  int m_os_error;
};

// The child's process id, or the error object (a null error object is a broken outcome).
using THR_PROCESS_CREATE_RESULT =
    boost::outcome_v2::std_result<unsigned long, std::unique_ptr<THR_ERROR>,
                                  boost::outcome_v2::policy::terminate>;

// Starts command_line (split into words like sh, no shell) in its own process group with a fresh
// stdin pipe and an output pipe; stderr joins the output pipe when stderr_pipe == output_pipe,
// else stays the host's. option: words split like a command line, each "cwd=DIR" (the child's
// working directory) or "env=NAME=VALUE" (set in the child's environment; repeatable); "" for
// none. Exec failure is reported here, at once.
THR_PROCESS_CREATE_RESULT thr_process_create2(const std::string& command_line,
                                              const std::string& option, unsigned long* output_pipe,
                                              unsigned long* stderr_pipe, unsigned long* stdin_pipe,
                                              THR_SYS_FUNC_STAT_STRUCT* stat);

// 0 with *count = bytes waiting; non-zero on error, or once the writer closed and nothing waits.
int thr_process_peek(unsigned long pipe, uint32_t* count);

// Reads at most capacity bytes (blocks only if nothing waits); 0 on success with *count read.
int thr_process_read(unsigned long pipe, void* buffer, unsigned long capacity, uint32_t* count);

// Writes all size bytes to a child's stdin pipe; 0 on success with *count written. A write cut
// short by an error after some bytes went through still succeeds with their count; the error
// comes with the next call. Never raises SIGPIPE.
int thr_process_write(unsigned long pipe, const void* data, unsigned long size, uint32_t* count);

// Non-blocking when no_hang: -1 not a child of ours (or reaped), 0 running, else ended and *code
// filled with the raw wait status and exit code; the id is then forgotten.
int thr_process_wait(unsigned long pid, THR_PROCESS_EXIT_CODE* code, int no_hang);

// Sends SIGKILL to the child's whole process group without waiting; the host reaps it later.
// 0 on success, non-zero for an id that is not a live child of ours.
int thr_process_terminate(unsigned long pid, THR_PROCESS_EXIT_CODE code);

// Forgets a child the caller will not wait for; the host reaps it when it ends.
void thr_process_close_handle(unsigned long pid);

// Closes a pipe end handed out by thr_process_create2; unknown handles are ignored.
void thr_process_close_pipe(unsigned long pipe);

// Runs command_line through /bin/sh -c (in its own process group) to its end; the raw wait
// status (exit code in bits 8-15). A stop request kills the shell's group and returns its status.
int32_t thr_system(const std::string& command_line);

// The calling process's id.
int32_t thr_getpid();

// Sleeps the calling thread, first writing out the messages the default sink held back; values
// of 0 or less, or a stop request, only yield.
void thr_msleep(int milliseconds);

// Asks every wait of the host (sleeps, named-pipe connects and writes, the system shell) to give
// up at once, now and from then on. Async-signal-safe: meant for a host's signal handlers.
void thr_request_stop();
// True once thr_request_stop has been called.
bool thr_stop_requested();

// Kills every child the host started, each with its process group, and removes every named pipe
// it created; no child starts after it. Async-signal-safe; runs by itself at exit, a host calls it
// on its other ways out.
void thr_process_terminate_all();

// Non-zero on a Windows host; always 0 here.
int thr_win32_is();
