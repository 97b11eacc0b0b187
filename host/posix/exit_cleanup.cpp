// The end of the process: every child and named pipe of the host goes, however it exits.
#include <cstdlib>
#include <mutex>

#include "host/posix/child_table.h"
#include "host/posix/fifo_registry.h"
#include "host/posix/host_exit.h"
#include "host/posix/keeper.h"
#include "host/thr_process.h"

void thr_process_terminate_all() {
  child_table_terminate_all();
  fifo_registry_remove_all();
}

void arrange_cleanup_at_exit() {
  static std::once_flag arranged;
  std::call_once(arranged, [] {
    std::atexit([] {
      thr_process_terminate_all();
      keeper_finish();
    });
  });
}
