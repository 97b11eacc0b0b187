// The named pipes this host made and has not removed yet, so that its last act can remove them.
#include "host/posix/fifo_registry.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "host/posix/keeper.h"

namespace {

constexpr int CAPACITY = 1024;
constexpr size_t PATH_CAPACITY = 256;

enum STATE : int { FREE, FILLING, LISTED, REMOVING };

struct ENTRY {
  std::atomic<int> state{FREE};
  char path[PATH_CAPACITY];
};

ENTRY g_entries[CAPACITY];
// Serialises adds and removes: a remove compares paths that only an add writes. The removal of
// everything, run by signal handlers, takes entries by their state alone and only reads paths.
std::mutex g_mutex;

// Unlinks path and rmdirs its directory, both of which it made; async-signal-safe.
void unlink_with_directory(const char* path) {
  char directory[PATH_CAPACITY];
  std::strncpy(directory, path, sizeof directory - 1);
  directory[sizeof directory - 1] = '\0';
  unlink(path);
  char* slash = std::strrchr(directory, '/');
  if (slash == nullptr || slash == directory) return;
  *slash = '\0';
  rmdir(directory);
}

void remove_entry(ENTRY& entry) {
  int listed = LISTED;
  if (!entry.state.compare_exchange_strong(listed, REMOVING)) return;
  unlink_with_directory(entry.path);
  entry.state.store(FREE);
}

}  // namespace

bool fifo_registry_add(const char* path) {
  if (std::strlen(path) >= PATH_CAPACITY) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  for (ENTRY& entry : g_entries) {
    int free = FREE;
    if (!entry.state.compare_exchange_strong(free, FILLING)) continue;
    std::strcpy(entry.path, path);
    entry.state.store(LISTED);
    keeper_tell(KEEPER_ORDER::ADD_FIFO, 0, path);
    return true;
  }
  return false;
}

void fifo_registry_remove(const char* path) {
  const int saved_errno = errno;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (ENTRY& entry : g_entries)
      if (entry.state.load() == LISTED && std::strcmp(entry.path, path) == 0) remove_entry(entry);
  }
  keeper_tell(KEEPER_ORDER::DROP_FIFO, 0, path);  // after the removal: a death before it is covered
  errno = saved_errno;
}

void fifo_registry_remove_all() {
  const int saved_errno = errno;
  for (ENTRY& entry : g_entries) remove_entry(entry);
  errno = saved_errno;
}
