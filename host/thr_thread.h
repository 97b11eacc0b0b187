// Thread identity.
#pragma once

#include <cstdint>

// The calling thread's id (the kernel thread id).
uint64_t thr_thread_self();

// The id of the process's initial thread, fixed when the host layer is loaded.
extern const uint64_t THR_THREAD_MAIN_ID;
