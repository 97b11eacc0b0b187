// System-call helpers shared by the process and named-pipe services.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstddef>
#include <utility>

#include "host/posix/monotonic.h"
#include "host/posix/stop_request.h"
#include "host/posix/unique_fd.h"

// clone under the C library's other name: sanitizers wrap clone and would take these starts for a
// fork.
extern "C" int __clone(int (*function)(void*), void* stack, int flags, void* argument, ...);

// Code run by a cloned child before its exec or exit: it shares or copies our memory mid-flight,
// so it touches nothing of ours (no lock, no allocator, no sanitizer bookkeeping) and makes raw
// system calls only.
#define CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined")))

// The raw sigaction record of the kernel (not the C library's), for a cloned child.
struct KERNEL_SIGACTION {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  unsigned long mask;
};

// Blocks every signal of the calling thread while alive: no handler of the host runs while a
// child is half started, or in a copy of the host that has not reset its handlers yet.
class ALL_SIGNALS_BLOCKED {
 public:
  ALL_SIGNALS_BLOCKED() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &m_old);
  }
  ~ALL_SIGNALS_BLOCKED() { pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }
  ALL_SIGNALS_BLOCKED(const ALL_SIGNALS_BLOCKED&) = delete;
  ALL_SIGNALS_BLOCKED& operator=(const ALL_SIGNALS_BLOCKED&) = delete;

 private:
  sigset_t m_old;
};

// Calls f until it does not fail with EINTR; for calls that return -1 and set errno.
template <typename F>
auto retry_on_eintr(F&& f) {
  decltype(f()) result;
  do {
    result = f();
  } while (result == -1 && errno == EINTR);
  return result;
}

// The two ends of a new close-on-exec pipe, both numbered 3 or above so that moving them onto
// a child's standard descriptors never clobbers one with the other. errno set on failure.
struct PIPE_ENDS {
  UNIQUE_FD read_end;
  UNIQUE_FD write_end;
};
bool make_pipe(PIPE_ENDS* ends);

// Writes all size bytes to fd. SIGPIPE is blocked for the calling thread around the write and a
// SIGPIPE it raised is consumed, so a closed reader gives EPIPE, never a signal. A non-blocking
// fd is waited for until deadline_millis (monotonic; -1: no bound), and not at all once the host
// is asked to stop (ETIMEDOUT, EINTR). 0 on success, else the errno; *written receives the bytes
// written either way.
int write_all_without_sigpipe(int fd, const void* data, size_t size, size_t* written,
                              long long deadline_millis = -1);
