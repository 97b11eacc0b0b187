// Mutex service: the recursive mutexes the library locks through THR_MUTEX_OBJ.
#include <pthread.h>

#include "host/thr_mutex.h"

struct THR_MUTEX_IMPL {
  pthread_mutex_t mutex;
};

THR_MUTEX thr_mutex_create() {
  auto* m = new THR_MUTEX_IMPL;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&m->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return m;
}

void thr_mutex_lock(THR_MUTEX mutex) { pthread_mutex_lock(&mutex->mutex); }

void thr_mutex_unlock(THR_MUTEX mutex) { pthread_mutex_unlock(&mutex->mutex); }

void thr_mutex_destroy(THR_MUTEX mutex) {
  if (mutex == nullptr) return;
  pthread_mutex_destroy(&mutex->mutex);
  delete mutex;
}
