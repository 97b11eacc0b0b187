// The child table's slots, shared by its operations (child_table.cpp) and its reaper
// (child_reaper.cpp). Lock-free: every field is atomic, and a slot's inspection right (BUSY)
// says who may wait for its child.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>

#include "host/posix/child_table.h"

namespace child_slots {

constexpr int TABLE_SIZE = CHILD_TABLE_SIZE;
// A terminated child stays waitable this long, so the caller's own wait still sees how it ended.
constexpr long long TERMINATED_GRACE_MILLIS = 5000;
constexpr int REAPER_POLL_MILLIS = 100;

enum SLOT_FLAGS : unsigned {
  RESERVED = 1u << 0,   // being filled by a starting child
  LIVE = 1u << 1,       // a child of ours, not reaped
  FORGOTTEN = 1u << 2,  // no caller will wait: the reaper collects it
  KILLED = 1u << 3,     // terminated: the reaper collects it after the grace period
  BUSY = 1u << 4,       // a waiter or the reaper is inspecting the child
  REAPING = 1u << 5,    // the child has ended and is about to be reaped, or its group forgotten
  // The leader was reaped while others of its group lived on: the slot keeps the group, whose
  // number cannot be reused while it has members, until the group is found empty.
  GROUP_ONLY = 1u << 6,
};

struct SLOT {
  std::atomic<pid_t> pid{0};
  std::atomic<unsigned> flags{0};
  std::atomic<int> killers{0};  // terminations sending signals right now
  std::atomic<long long> killed_at{0};
};

extern SLOT g_slots[TABLE_SIZE];
extern std::atomic<int> g_reaper_wakeup;  // eventfd, written by terminate and forget
extern std::mutex g_reaper_mutex;
extern std::atomic<bool> g_reaper_started;

// Takes the child's inspection right; false when the slot no longer holds pid or, with
// wait_for_others false, when someone else inspects it.
bool claim(SLOT& slot, pid_t pid, bool wait_for_others);
// With the inspection right held: 0 while the child runs (right given back), 1 when it was
// reaped into *raw_status, -1 when the system no longer knows it; the slot is freed after 1, -1.
int collect(SLOT& slot, pid_t pid, bool block, int* raw_status);
// Frees a kept group once it is empty; true while it still has members.
bool recheck_group(SLOT& slot);

}  // namespace child_slots
