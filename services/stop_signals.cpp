// The signal thread that takes SIGINT, SIGHUP and SIGTERM for our hosts.
#include "services/stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "host/thr_process.h"

namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGHUP, SIGTERM};

bool is_ignored(int number) {
  struct sigaction current {};
  return sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// The stop signals not ignored at the start.
sigset_t received_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int number : STOP_SIGNALS)
    if (!is_ignored(number)) sigaddset(&set, number);
  return set;
}

struct SIGNAL_THREAD {
  sigset_t signals;
  HOST_STOP_SIGNAL_ACTION action;
};

void* receive_signals(void* data) {
  const SIGNAL_THREAD thread = *static_cast<SIGNAL_THREAD*>(data);
  delete static_cast<SIGNAL_THREAD*>(data);
  for (;;) {
    int number = 0;
    if (sigwait(&thread.signals, &number) == 0) thread.action(number);
  }
  return nullptr;
}

}  // namespace

int host_receive_stop_signals(HOST_STOP_SIGNAL_ACTION action) {
  const sigset_t signals = received_signals();
  sigset_t old;
  if (const int error = pthread_sigmask(SIG_BLOCK, &signals, &old)) return error;
  auto* data = new SIGNAL_THREAD{signals, action};
  pthread_t thread;
  if (const int error = pthread_create(&thread, nullptr, receive_signals, data)) {
    delete data;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return error;
  }
  pthread_detach(thread);
  return 0;
}

void host_die_by_signal(int number) {
  thr_process_terminate_all();
  signal(number, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, number);
  // Raised at this thread, which then unblocks it: the default action ends the process.
  raise(number);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  _exit(128 + number);  // not reached unless the default action is to go on
}
