// The dispatcher side of the helper pool: partitions handed out over named pipes.
#include <cstdio>

#include "host/mem.h"
#include "host/msg.h"
#include "host/thr_thread.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

namespace {
using POOL = IPC_COMMAND::IMPL::PROCESS_POOL_COMMUNICATION_ARGUMENTS;

// One read is taken as one report, so a report longer than this is not expected.
constexpr unsigned long REPORT_CAPACITY = 512;

// The pool is served only from the host's main thread.
bool on_main_thread() { return thr_thread_self() == THR_THREAD_MAIN_ID; }

std::string partition_ready(int partition) {
  std::string text;
  MEM_DETAIL::stl_raw_sprintf(&text, "Partition %d is ready", partition);
  return text;
}

// Writes the bare text (no NUL, no newline); false when the pipe reports a failure.
bool send(THR_NAMED_PIPE& pipe, const std::string& text) {
  pipe.write(text.data(), text.size());
  return pipe.error_status == 0;
}

bool connect_helper(POOL& pool, int helper) {
  return pool.to_helpers[helper]->connect() && pool.from_helpers[helper]->connect_r() &&
         send(*pool.to_helpers[helper], partition_ready(helper));
}

// Reads helper's report, if it sent one, and answers it with the next partition.
// False when a pipe failed.
bool serve_helper(POOL& pool, int helper) {
  THR_NAMED_PIPE& from = *pool.from_helpers[helper];
  char report[REPORT_CAPACITY + 1];
  int32_t count = from.read(report, REPORT_CAPACITY);
  if (from.error_status != 0) return false;
  if (count <= 0) return true;
  report[count] = '\0';
  int process_id = -1;
  std::sscanf(report, "Helper %d is done", &process_id);
  if (process_id != helper) ipc_internal_error("process_id == i", 925);
  if (!send(*pool.to_helpers[helper], partition_ready(pool.next_partition))) return false;
  ++pool.next_partition;
  return true;
}

bool hand_out_partitions(POOL& pool) {
  for (int helper = 0; helper < pool.helper_count && pool.next_partition < pool.partition_count;
       ++helper) {
    if (!serve_helper(pool, helper)) return false;
  }
  return true;
}

// Sent once, as soon as the last partition is out; helpers may still be working.
bool send_finish_notice(POOL& pool) {
  for (int helper = 0; helper < pool.helper_count; ++helper) {
    if (!send(*pool.to_helpers[helper], "Finished all partitions")) return false;
  }
  pool.finish_pending = false;
  return true;
}
}  // namespace

bool IPC_COMMAND::IMPL::connect_pipes(SCOPED_THR_NAMED_PIPE& pipe, POOL* pool) {
  if (pipe.named_pipe != nullptr && !pipe.prepare()) return false;
  if (pool == nullptr || !on_main_thread()) return true;
  for (int helper = 0; helper < pool->helper_count; ++helper) {
    if (!connect_helper(*pool, helper)) return false;
  }
  return true;
}

bool IPC_COMMAND::IMPL::handle_process_pool_communication(POOL& pool) {
  if (!on_main_thread()) return true;
  if (pool.next_partition < pool.partition_count) {
    if (pool.helper_count < 1) return true;
    if (!hand_out_partitions(pool)) return false;
  }
  if (pool.next_partition == pool.partition_count && pool.finish_pending)
    return send_finish_notice(pool);
  return true;
}
