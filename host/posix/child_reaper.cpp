// The reaper: a thread that collects the children nobody will wait for (forgotten, or
// terminated and past their grace period) and forgets emptied groups, so none stays a zombie.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>
#include <thread>

#include "host/posix/child_slots.h"
#include "host/posix/posix_io.h"

using namespace child_slots;

namespace {

// Whether the reaper should collect this child now; *revisit when it must look again later.
bool due_for_reaping(const SLOT& slot, unsigned flags, long long now, bool* revisit) {
  if ((flags & LIVE) == 0) return false;
  if ((flags & FORGOTTEN) != 0) return true;
  if ((flags & KILLED) == 0) return false;
  if (now - slot.killed_at.load() >= TERMINATED_GRACE_MILLIS) return true;
  *revisit = true;
  return false;
}

// One sweep over the table; true when some child still needs a later sweep.
bool reap_sweep() {
  bool revisit = false;
  long long now = monotonic_millis();
  for (SLOT& slot : g_slots) {
    if (slot.flags.load() == GROUP_ONLY) {
      revisit = recheck_group(slot) || revisit;
      continue;
    }
    if (!due_for_reaping(slot, slot.flags.load(), now, &revisit)) continue;
    pid_t pid = slot.pid.load();
    int ignored_status = 0;
    if (!claim(slot, pid, false) || collect(slot, pid, false, &ignored_status) == 0) revisit = true;
  }
  return revisit;
}

void reaper_loop(int wakeup) {
  for (;;) {
    bool revisit = reap_sweep();
    pollfd pfd{wakeup, POLLIN, 0};
    int r = retry_on_eintr([&] { return poll(&pfd, 1, revisit ? REAPER_POLL_MILLIS : -1); });
    if (r > 0) {
      uint64_t count = 0;
      ssize_t ignored = ::read(wakeup, &count, sizeof count);
      (void)ignored;
    }
  }
}

}  // namespace

int child_table_start_reaper() {
  if (g_reaper_started.load()) return 0;
  std::lock_guard<std::mutex> lock(g_reaper_mutex);
  if (g_reaper_started.load()) return 0;
  UNIQUE_FD wakeup(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeup) return errno;
  try {
    std::thread(reaper_loop, wakeup.get()).detach();
  } catch (const std::system_error& error) {  // no thread could be had: a failed start, no abort
    return error.code().value();
  }
  g_reaper_wakeup.store(wakeup.release());
  g_reaper_started.store(true);
  return 0;
}
