// --stdin: copies ipc_run's standard input to the running child from a second thread.
#include "tools/ipc_run/stdin_forwarder.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/ipc_run/run_command.h"

namespace {

// Bounds how long the thread takes to notice that the run is over.
constexpr int POLL_MS = 50;

enum class INPUT { READY, NOT_YET, ENDED };

INPUT poll_stdin() {
  pollfd descriptor{STDIN_FILENO, POLLIN, 0};
  int ready = ::poll(&descriptor, 1, POLL_MS);
  if (ready < 0) return errno == EINTR ? INPUT::NOT_YET : INPUT::ENDED;
  if (ready == 0) return INPUT::NOT_YET;
  return INPUT::READY;
}

}  // namespace

STDIN_FORWARDER::STDIN_FORWARDER(RUN_COMMAND& command)
    : m_command(command), m_thread([this] { forward(); }) {}

STDIN_FORWARDER::~STDIN_FORWARDER() {
  m_run_over = true;
  m_thread.join();
}

bool STDIN_FORWARDER::wait_until_running() {
  while (!m_run_over) {
    IPC_PROCESS_STATUS status = m_command.get_process_status(POLL_MS);
    if (status == RUNNING) return true;
    if (status == FAILED || status == FINISHED) return false;
  }
  return false;
}

void STDIN_FORWARDER::forward() {
  if (!wait_until_running()) return;
  char buffer[65536];
  while (!m_run_over) {
    INPUT input = poll_stdin();
    if (input == INPUT::NOT_YET) continue;
    ssize_t count = input == INPUT::READY ? ::read(STDIN_FILENO, buffer, sizeof buffer) : 0;
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    if (m_command.write_to_stdin(buffer, static_cast<unsigned long>(count)) !=
        static_cast<int32_t>(count)) {
      std::fprintf(stderr, "ipc_run: cannot forward standard input to the child\n");
      return;
    }
  }
  if (m_run_over) return;
  // Our input ended: so does the child's, as it would in a shell pipeline.
  m_command.close_stdin();
}
