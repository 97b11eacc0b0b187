// The children this host started: their slots, starts, waits, terminations and ends.
#include "host/posix/child_table.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

#include "host/posix/child_slots.h"
#include "host/posix/keeper.h"
#include "host/posix/posix_io.h"

namespace child_slots {

SLOT g_slots[TABLE_SIZE];
thread_local pid_t g_last_started = 0;
std::atomic<int> g_starting{0};        // children between their clone and their entry in the table
std::atomic<bool> g_closed{false};     // everything was terminated: no child starts any more
std::atomic<int> g_reaper_wakeup{-1};  // eventfd, written by terminate and forget
std::mutex g_reaper_mutex;
std::atomic<bool> g_reaper_started{false};
// A blocking waiter sleeps here while another holds the child's inspection right, which may be
// held across a blocking wait of its own. Never destroyed: the reaper thread outlives exit().
struct BUSY_WAIT {
  std::mutex mutex;
  std::condition_variable released;
};
BUSY_WAIT& busy_wait() {
  static BUSY_WAIT* wait = new BUSY_WAIT;
  return *wait;
}

int find_live(pid_t pid) {
  if (pid <= 0) return -1;
  for (int i = 0; i < TABLE_SIZE; ++i) {
    if (g_slots[i].pid.load() == pid && (g_slots[i].flags.load() & LIVE) != 0) return i;
  }
  return -1;
}

void wake_reaper() {
  int fd = g_reaper_wakeup.load();
  if (fd < 0) return;
  const uint64_t one = 1;
  ssize_t ignored = ::write(fd, &one, sizeof one);  // a full counter already means "wake up"
  (void)ignored;
}

// Wakes blocked waiters after a BUSY flag was cleared: taking the mutex first means none is
// between its check and its sleep.
void notify_waiters() {
  { std::lock_guard<std::mutex> lock(busy_wait().mutex); }
  busy_wait().released.notify_all();
}

// Gives the inspection right back.
void give_back(SLOT& slot) {
  slot.flags.fetch_and(~BUSY);
  notify_waiters();
}

bool claim(SLOT& slot, pid_t pid, bool wait_for_others) {
  unsigned flags = slot.flags.load();
  for (;;) {
    if ((flags & LIVE) == 0) return false;
    if ((flags & BUSY) != 0) {
      if (!wait_for_others) return false;
      std::unique_lock<std::mutex> lock(busy_wait().mutex);
      busy_wait().released.wait(lock, [&] { return (slot.flags.load() & BUSY) == 0; });
      flags = slot.flags.load();
      continue;
    }
    if (slot.flags.compare_exchange_weak(flags, flags | BUSY)) break;
  }
  if (slot.pid.load() == pid) return true;
  give_back(slot);
  return false;
}

void release_slot(SLOT& slot) {
  slot.pid.store(0);
  slot.killed_at.store(0);
  slot.flags.store(0);
  notify_waiters();
}

bool group_is_empty(pid_t group) { return kill(-group, 0) != 0 && errno == ESRCH; }

// Lets terminations sending signals to the slot's numbers finish before they may be reused.
void wait_for_killers(SLOT& slot) {
  slot.flags.fetch_or(REAPING);
  while (slot.killers.load() != 0) sched_yield();
}

// After the leader's reap: keeps its group while it has members, else frees the slot. The keeper
// was told to forget the group before the reap, when its number could not be reused yet.
void keep_group_or_release(SLOT& slot, pid_t pid) {
  if (group_is_empty(pid)) {
    release_slot(slot);
    return;
  }
  keeper_tell(KEEPER_ORDER::ADD_GROUP, pid);
  slot.killed_at.store(0);
  slot.flags.store(GROUP_ONLY);
  notify_waiters();
  wake_reaper();  // it watches for the group's end
}

bool recheck_group(SLOT& slot) {
  const pid_t group = slot.pid.load();
  if (!group_is_empty(group)) return true;
  wait_for_killers(slot);
  keeper_tell(KEEPER_ORDER::DROP_GROUP, group);
  release_slot(slot);
  return false;
}

int collect(SLOT& slot, pid_t pid, bool block, int* raw_status) {
  siginfo_t info{};
  int options = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
  int r = retry_on_eintr([&] { return waitid(P_PID, static_cast<id_t>(pid), &info, options); });
  if (r == 0 && info.si_pid == 0) {
    give_back(slot);
    return 0;
  }
  if (r != 0) {
    keeper_tell(KEEPER_ORDER::DROP_GROUP, pid);
    release_slot(slot);
    return -1;
  }
  // Ended but not reaped: the pid cannot be reused yet. Let running terminations finish their
  // signals before the reap frees the number.
  wait_for_killers(slot);
  keeper_tell(KEEPER_ORDER::DROP_GROUP, pid);
  int status = 0;
  pid_t reaped = retry_on_eintr([&] { return waitpid(pid, &status, WNOHANG); });
  keep_group_or_release(slot, pid);
  if (reaped != pid) return -1;
  *raw_status = status;
  return 1;
}

}  // namespace child_slots

using namespace child_slots;

int child_table_reserve() {
  for (int i = 0; i < TABLE_SIZE; ++i) {
    unsigned expected = 0;
    if (g_slots[i].flags.compare_exchange_strong(expected, RESERVED)) return i;
  }
  return -1;
}

void child_table_fill(int place, pid_t pid) {
  g_slots[place].pid.store(pid);
  g_slots[place].flags.store(LIVE);
  g_last_started = pid;
}

void child_table_unreserve(int place) { release_slot(g_slots[place]); }

int child_table_wait(pid_t pid, int* raw_status, bool no_hang) {
  int place = find_live(pid);
  if (place < 0) return -1;
  SLOT& slot = g_slots[place];
  if ((slot.flags.load() & FORGOTTEN) != 0) return -1;
  if (!claim(slot, pid, !no_hang)) return find_live(pid) == place ? 0 : -1;
  if ((slot.flags.load() & FORGOTTEN) != 0) {
    give_back(slot);
    return -1;
  }
  return collect(slot, pid, !no_hang, raw_status);
}

int child_table_terminate(pid_t pid) {
  int saved_errno = errno;
  int result = -1;
  int place = find_live(pid);
  if (place >= 0) {
    SLOT& slot = g_slots[place];
    slot.killers.fetch_add(1);
    unsigned flags = slot.flags.load();
    if ((flags & LIVE) != 0 && (flags & FORGOTTEN) == 0 && slot.pid.load() == pid) {
      result = 0;
      if ((flags & REAPING) == 0) {  // an ended child has nothing left to kill
        bool group = kill(-pid, SIGKILL) == 0;
        bool leader = kill(pid, SIGKILL) == 0;
        if (group || leader) {
          slot.killed_at.store(monotonic_millis());
          slot.flags.fetch_or(KILLED);
        } else {
          result = -1;
        }
      }
    }
    slot.killers.fetch_sub(1);
    wake_reaper();
  }
  errno = saved_errno;
  return result;
}

namespace {

// SIGKILL to the slot's group or leader, unless its number is being freed. Async-signal-safe.
void kill_unless_reaping(SLOT& slot, bool group) {
  slot.killers.fetch_add(1);
  const unsigned flags = slot.flags.load();
  const pid_t pid = slot.pid.load();
  if (pid > 0 && (flags & REAPING) == 0) {
    if (group && (flags & (LIVE | GROUP_ONLY)) != 0) kill(-pid, SIGKILL);
    if (!group && (flags & LIVE) != 0) kill(pid, SIGKILL);
  }
  slot.killers.fetch_sub(1);
}

}  // namespace

bool child_table_begin_start() {
  g_starting.fetch_add(1);
  if (!g_closed.load()) return true;
  g_starting.fetch_sub(1);
  return false;
}

void child_table_end_start() { g_starting.fetch_sub(1); }

void child_table_terminate_all() {
  int saved_errno = errno;
  g_closed.store(true);
  // A child starting on another thread is not in the table yet. That thread blocks every signal
  // until it is, and a start ends in bounded time, so waiting here cannot deadlock.
  while (g_starting.load() != 0) sched_yield();
  // Groups first: a leader dying alone could wake a waiter that ends the process before the rest
  // of its group is reached.
  for (SLOT& slot : g_slots) kill_unless_reaping(slot, true);
  for (SLOT& slot : g_slots) kill_unless_reaping(slot, false);  // leaders that left their group
  errno = saved_errno;
}

bool child_table_last_started_has_ended() {
  const pid_t pid = g_last_started;
  if (pid == 0) return false;
  if (find_live(pid) < 0) return true;
  siginfo_t info{};
  int r = retry_on_eintr(
      [&] { return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT); });
  return r != 0 || info.si_pid != 0;
}

void child_table_forget(pid_t pid) {
  int place = find_live(pid);
  if (place < 0 || !claim(g_slots[place], pid, true)) return;
  g_slots[place].flags.fetch_or(FORGOTTEN);
  give_back(g_slots[place]);
  wake_reaper();
}
