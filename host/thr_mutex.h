// Mutex service.
//
// The mutexes are recursive: the library's SIGTERM handler locks the registry mutex on whatever
// thread receives the signal, which may be a thread that already holds it.
#pragma once

struct THR_MUTEX_IMPL;
using THR_MUTEX = THR_MUTEX_IMPL*;

// A new recursive mutex.
THR_MUTEX thr_mutex_create();
// Locks, waiting as long as needed; the owner may lock again.
void thr_mutex_lock(THR_MUTEX mutex);
// Undoes one lock by the owner.
void thr_mutex_unlock(THR_MUTEX mutex);
// Releases an unlocked mutex; null is ignored.
void thr_mutex_destroy(THR_MUTEX mutex);

// Owns one host mutex from construction to destruction.
class THR_MUTEX_OBJ {
 public:
  THR_MUTEX_OBJ() : m_mutex(thr_mutex_create()) {}
  ~THR_MUTEX_OBJ() { thr_mutex_destroy(m_mutex); }
  THR_MUTEX_OBJ(const THR_MUTEX_OBJ&) = delete;
  THR_MUTEX_OBJ& operator=(const THR_MUTEX_OBJ&) = delete;
  THR_MUTEX get() const { return m_mutex; }
  void lock() { thr_mutex_lock(m_mutex); }
  void unlock() { thr_mutex_unlock(m_mutex); }

 private:
  THR_MUTEX m_mutex;
};
