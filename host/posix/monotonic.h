// The monotonic clock in milliseconds, as the host's deadlines count.
#pragma once

#include <time.h>

// Milliseconds of the monotonic clock; async-signal-safe.
inline long long monotonic_millis() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
