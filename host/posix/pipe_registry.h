// The pipe ends the process service hands out as handles, and the handles' reads and writes.
#pragma once

#include <memory>

#include "host/posix/unique_fd.h"

// Keeps fd under a new handle, never 0 and never reused.
unsigned long pipe_registry_add(UNIQUE_FD fd);
