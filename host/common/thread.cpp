// Thread service: the calling thread's identity.
#include <sys/syscall.h>
#include <unistd.h>

#include "host/thr_thread.h"

uint64_t thr_thread_self() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

// The initial thread's kernel id is the process id, whichever thread loads the host layer.
const uint64_t THR_THREAD_MAIN_ID = static_cast<uint64_t>(getpid());
